#include "support/agent.h"
#include "support/wireclient.h"

#include <QFile>
#include <QProcess>
#include <QSettings>
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
    void signalDuringStartupBoxEnds();

private:
    // A connection once the listener takes it: the listeners start after the
    // first log line.
    std::unique_ptr<Client> connectWhenListening(const QString &portKey, const QByteArray &request);

    std::unique_ptr<AgentProcess> m_agent;
};

void tst_Signals::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY2(QFile::exists(QStringLiteral(AGENT_PATH)), AGENT_PATH);
}

void tst_Signals::init()
{
    m_agent = std::make_unique<AgentProcess>();
}

void tst_Signals::cleanup()
{
    m_agent.reset();
}

std::unique_ptr<Client> tst_Signals::connectWhenListening(const QString &portKey, const QByteArray &request)
{
    std::unique_ptr<Client> client;
    const bool connected = QTest::qWaitFor([&] {
        if (client && client->connectedOrClosed())
            return true;
        if (!client || client->refused)
            client = std::make_unique<Client>(m_agent->port(portKey), request);
        return false;
    }, 20000);
    return connected ? std::move(client) : nullptr;
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
    QVERIFY2(m_agent->start(), qPrintable(m_agent->outcome()));
    QVERIFY(!QFile::exists(m_agent->storePath()));

    QVERIFY2(m_agent->signalEndsCleanly(signalNumber), qPrintable(m_agent->outcome()));

    // Written as the Quit button writes them: geometry and the settings in use.
    QVERIFY2(QFile::exists(m_agent->storePath()), qPrintable(m_agent->storePath()));
    QSettings store(m_agent->storePath(), QSettings::IniFormat);
    QVERIFY(store.value(QStringLiteral("MainWindow/size")).toSize().isValid());
    QVERIFY(store.contains(QStringLiteral("MainWindow/pos")));
    QCOMPARE(store.value(QStringLiteral("sql/type")).toString(), QStringLiteral("QSQLITE"));
    QCOMPARE(store.value(QStringLiteral("server/port")).toString(),
             m_agent->values.value(QStringLiteral("server/port")));
    QCOMPARE(store.value(QStringLiteral("app/key2")).toString(),
             m_agent->values.value(QStringLiteral("app/key2")));
    QFile ini(m_agent->iniPath());
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QCOMPARE(ini.readAll().toHex(), m_agent->ini.toHex());
}

// A lookup's message box runs an event loop of its own, and with nobody to
// dismiss it (a headless service) closing the window alone would leave the
// process running inside it.
void tst_Signals::signalWhileLookupBoxIsOpenStillEnds()
{
    QVERIFY2(m_agent->start(), qPrintable(m_agent->outcome()));
    const auto lookup = connectWhenListening(QStringLiteral("server/port"), "1001");
    QVERIFY(lookup);
    QTRY_VERIFY_WITH_TIMEOUT(lookup->socket.bytesToWrite() == 0, 10000);

    // An HTTP check answered after the lookup's text went out shows that the
    // agent's event loop has run past the lookup's start, into its box.
    // Not a check request, so the answer needs no statement of its own.
    const auto check = connectWhenListening(QStringLiteral("http/port"), "GET / HTTP/1.0\r\n\r\n");
    QVERIFY(check);
    QTRY_VERIFY_WITH_TIMEOUT(check->closed || !check->received.isEmpty(), 20000);
    QVERIFY(check->received.startsWith("HTTP/1.0 200 Ok"));
    QCOMPARE(lookup->socket.state(), QAbstractSocket::ConnectedState); // still waiting for its operator
    QVERIFY(!lookup->closed);
    // The statement fails on the empty database, and says so only once the first
    // box has been dismissed: not yet.
    const QByteArray statementFailed = "[e] q.le=";
    QVERIFY(!m_agent->standardError.contains(statementFailed));

    QVERIFY2(m_agent->signalEndsCleanly(SIGTERM), qPrintable(m_agent->outcome()));
    QVERIFY(QFile::exists(m_agent->storePath()));
    // The box was open when the signal came, and the signal ended it.
    QVERIFY2(m_agent->standardError.contains(statementFailed), m_agent->standardError.right(2000).constData());
}

// The first signal asks for a clean close; a second one must not wait for it.
// The agent is stopped while both arrive, so its event loop cannot have run the
// clean close in between: only the second signal's default action can end it.
void tst_Signals::secondSignalEndsAtOnce()
{
    QVERIFY2(m_agent->start(), qPrintable(m_agent->outcome()));
    const auto pid = pid_t(m_agent->pid());
    QSignalSpy finished(&m_agent->process(), QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    QCOMPARE(::kill(pid, SIGSTOP), 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_agent->isStopped(), 10000);
    QCOMPARE(::kill(pid, SIGINT), 0);
    QCOMPARE(::kill(pid, SIGTERM), 0);
    QCOMPARE(::kill(pid, SIGCONT), 0);

    QVERIFY(finished.wait(20000));
    QCOMPARE(m_agent->process().exitStatus(), QProcess::CrashExit); // ended by the signal itself
    QVERIFY2(!QFile::exists(m_agent->storePath()), "the clean close did not run");
}

// With a display (here Qt's VNC platform, which nobody watches) a start-up
// box waits for its operator: it says what it shows on standard error, and a
// stop ends it like any other.
void tst_Signals::signalDuringStartupBoxEnds()
{
    m_agent = std::make_unique<AgentProcess>(quietAgentSettings({{"sql/type", "QPSQL"}, {"sql/host", "127.0.0.1"},
                                                                 {"sql/port", QString::number(freePort())}})); // nothing listens
    m_agent->environment = {{"QT_QPA_PLATFORM", QStringLiteral("vnc:port=%1").arg(freePort())}};
    QVERIFY2(m_agent->start(), qPrintable(m_agent->outcome()));
    QTRY_VERIFY_WITH_TIMEOUT(
        m_agent->standardError.contains("[box] TOVR/MERK SQL Agent (checker): [1] Unable to connect to SQL."), 15000);

    QVERIFY2(m_agent->signalEndsCleanly(SIGTERM), qPrintable(m_agent->outcome()));
    QVERIFY(QFile::exists(m_agent->storePath())); // closed as Quit closes
}

QTEST_GUILESS_MAIN(tst_Signals)
#include "tst_signals.moc"
