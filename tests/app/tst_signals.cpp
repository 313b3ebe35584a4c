#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/types.h>

// The real agent binary, started the way a supervisor starts it: its own
// working directory with a quiet INI, its own per-user store, offscreen.
class tst_Signals : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void signalClosesLikeQuit_data();
    void signalClosesLikeQuit();
    void signalWhileLookupBoxIsOpenStillEnds();
    void secondSignalEndsAtOnce();

private:
    void startAgent();
    bool agentIsStopped() const;
    QString outcome() const;
    bool signalEndsCleanly(int signalNumber);
    bool connectTo(QTcpSocket &socket, const QString &portKey) const;
    QString storePath() const;
    QString workPath() const { return m_dir->filePath(QStringLiteral("work")); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_agent;
    IniValues m_settings;
    QByteArray m_ini;
    QByteArray m_stderr; // the agent's debug output so far
};

void tst_Signals::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY2(QFile::exists(QStringLiteral(AGENT_PATH)), AGENT_PATH);
}

void tst_Signals::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QDir root(m_dir->path());
    QVERIFY(root.mkpath(QStringLiteral("work")) && root.mkpath(QStringLiteral("config"))
            && root.mkpath(QStringLiteral("home")));
    m_settings = quietAgentSettings();
    m_ini = iniText(m_settings);
    QFile ini(QDir(workPath()).filePath(QStringLiteral("tovr_merk.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(m_ini);
}

void tst_Signals::cleanup()
{
    if (m_agent && m_agent->state() != QProcess::NotRunning) {
        ::kill(pid_t(m_agent->processId()), SIGCONT);
        m_agent->kill();
        m_agent->waitForFinished();
    }
    m_agent.reset();
    m_dir.reset();
}

// The per-user store of the agent, which names no organisation or application.
QString tst_Signals::storePath() const
{
    return m_dir->filePath(QStringLiteral("config/Unknown Organization/tovr_merk_agent.conf"));
}

void tst_Signals::startAgent()
{
    m_agent = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_dir->filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir->filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    m_agent->setProcessEnvironment(env);
    m_agent->setWorkingDirectory(workPath());
    m_agent->setStandardOutputFile(QProcess::nullDevice());
    m_stderr.clear();
    connect(m_agent.get(), &QProcess::readyReadStandardError, this,
            [this] { m_stderr += m_agent->readAllStandardError(); });
    m_agent->start(QStringLiteral(AGENT_PATH), QStringList());
    QVERIFY2(m_agent->waitForStarted(), qPrintable(m_agent->errorString()));
    // The dialog's first log line is written after the handlers are in place.
    const QString log = QDir(workPath()).filePath(QStringLiteral("debug-log.txt"));
    QTRY_VERIFY_WITH_TIMEOUT(QFile(log).size() > 0, 20000);
}

bool tst_Signals::connectTo(QTcpSocket &socket, const QString &portKey) const
{
    socket.abort();
    socket.connectToHost(QHostAddress::LocalHost, quint16(m_settings.value(portKey).toUInt()));
    return socket.waitForConnected(1000);
}

// Sends the signal and waits for the agent to end: true when it left its event
// loop normally, with exit code 0.
bool tst_Signals::signalEndsCleanly(int signalNumber)
{
    QSignalSpy finished(m_agent.get(),
                        QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    if (::kill(pid_t(m_agent->processId()), signalNumber) != 0 || !finished.wait(20000))
        return false;
    return m_agent->exitStatus() == QProcess::NormalExit && m_agent->exitCode() == 0;
}

// How the agent ended, and the end of what it printed, for a failure message.
QString tst_Signals::outcome() const
{
    return QStringLiteral("%1 %2; last output:\n%3")
        .arg(m_agent->exitStatus() == QProcess::NormalExit ? "exit code" : "crashed, signal")
        .arg(m_agent->exitCode())
        .arg(QString::fromLocal8Bit(m_stderr.right(1500)));
}

bool tst_Signals::agentIsStopped() const
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(m_agent->processId()));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    // "pid (comm) S ...": the state follows the last parenthesis.
    const int close = line.lastIndexOf(')');
    return close > 0 && line.mid(close + 2, 1) == "T";
}

void tst_Signals::signalClosesLikeQuit_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void tst_Signals::signalClosesLikeQuit()
{
    QFETCH(int, signalNumber);
    startAgent();
    QVERIFY(!QFile::exists(storePath()));

    QVERIFY2(signalEndsCleanly(signalNumber), qPrintable(outcome()));

    // Written as the Quit button writes them: geometry and the settings in use.
    QVERIFY2(QFile::exists(storePath()), qPrintable(storePath()));
    QSettings store(storePath(), QSettings::IniFormat);
    QVERIFY(store.value(QStringLiteral("MainWindow/size")).toSize().isValid());
    QVERIFY(store.contains(QStringLiteral("MainWindow/pos")));
    QCOMPARE(store.value(QStringLiteral("sql/type")).toString(), QStringLiteral("QSQLITE"));
    QCOMPARE(store.value(QStringLiteral("server/port")).toString(),
             m_settings.value(QStringLiteral("server/port")));
    QCOMPARE(store.value(QStringLiteral("app/key2")).toString(),
             m_settings.value(QStringLiteral("app/key2")));
    QFile ini(QDir(workPath()).filePath(QStringLiteral("tovr_merk.ini")));
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QCOMPARE(ini.readAll(), m_ini);
}

// A lookup's message box runs an event loop of its own, and with nobody to
// dismiss it (a headless service) closing the window alone would leave the
// process running inside it.
void tst_Signals::signalWhileLookupBoxIsOpenStillEnds()
{
    startAgent();
    QTcpSocket lookup;
    // The listeners start after the first log line; connect once they listen.
    QTRY_VERIFY_WITH_TIMEOUT(connectTo(lookup, QStringLiteral("server/port")), 20000);
    lookup.write("1001");
    QVERIFY(lookup.waitForBytesWritten(10000));

    // An HTTP check answered after the lookup's text went out shows that the
    // agent's event loop has run past the lookup's start, into its box.
    QTcpSocket check;
    QTRY_VERIFY_WITH_TIMEOUT(connectTo(check, QStringLiteral("http/port")), 20000);
    // Not a check request, so the answer needs no statement of its own.
    check.write("GET / HTTP/1.0\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(check.state() == QAbstractSocket::UnconnectedState
                                 || check.bytesAvailable() > 0,
                             20000);
    QVERIFY(check.readAll().startsWith("HTTP/1.0 200 Ok"));
    QCOMPARE(lookup.state(), QAbstractSocket::ConnectedState); // still waiting for its operator
    // The statement fails on the empty database, and says so only once the first
    // box has been dismissed: not yet.
    const QByteArray statementFailed = "[e] q.le=";
    QVERIFY(!m_stderr.contains(statementFailed));

    QVERIFY2(signalEndsCleanly(SIGTERM), qPrintable(outcome()));
    QVERIFY(QFile::exists(storePath()));
    // The box was open when the signal came, and the signal ended it.
    QVERIFY2(m_stderr.contains(statementFailed), m_stderr.right(2000).constData());
}

// The first signal asks for a clean close; a second one must not wait for it.
// The agent is stopped while both arrive, so its event loop cannot have run the
// clean close in between: only the second signal's default action can end it.
void tst_Signals::secondSignalEndsAtOnce()
{
    startAgent();
    const auto pid = pid_t(m_agent->processId());
    QSignalSpy finished(m_agent.get(),
                        QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    QCOMPARE(::kill(pid, SIGSTOP), 0);
    QTRY_VERIFY_WITH_TIMEOUT(agentIsStopped(), 10000);
    QCOMPARE(::kill(pid, SIGINT), 0);
    QCOMPARE(::kill(pid, SIGTERM), 0);
    QCOMPARE(::kill(pid, SIGCONT), 0);

    QVERIFY(finished.wait(20000));
    QCOMPARE(m_agent->exitStatus(), QProcess::CrashExit); // ended by the signal itself
    QVERIFY2(!QFile::exists(storePath()), "the clean close did not run");
}

QTEST_GUILESS_MAIN(tst_Signals)
#include "tst_signals.moc"
