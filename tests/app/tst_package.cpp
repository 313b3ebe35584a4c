#include "support/agent.h"
#include "support/wireclient.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// The Debian package that `make package` makes, here made from this build by
// ctest's package_deb step (CPack, as `make package` runs it) and unpacked with
// dpkg-deb: the control fields, every file where Debian and systemd look for
// it, and the unpacked agent running headless the way its systemd unit starts it.
class tst_Package : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void controlFields();
    void installs_data();
    void installs();
    void unitStartsTheUnpackedAgent();

private:
    QString unpacked(const QString &path) const { return m_root.path() + QLatin1Char('/') + path; }

    QString m_deb;
    QTemporaryDir m_root;
};

// What `dpkg-deb args` printed, or why it failed, so a comparison shows both.
static QByteArray dpkgDeb(const QStringList &args)
{
    const ProgramRun dpkg = runProgram(QStringLiteral("dpkg-deb"), args, {}, 60000);
    if (dpkg.exitCode != 0)
        return "<dpkg-deb " + args.join(QLatin1Char(' ')).toUtf8() + " failed: " + dpkg.err + '>';
    return dpkg.out;
}

void tst_Package::initTestCase()
{
    const QString name = QStringLiteral(DEB_PACKAGE "_" DEB_VERSION "_*.deb");
    const QStringList debs = QDir(QStringLiteral(DEB_DIR)).entryList({name}, QDir::Files);
    QVERIFY2(debs.size() == 1, qPrintable(QStringLiteral("%1 packages %2 in %3; ctest's package_deb step makes one")
                                              .arg(debs.size()).arg(name, QStringLiteral(DEB_DIR))));
    m_deb = QDir(QStringLiteral(DEB_DIR)).filePath(debs.first());
    QVERIFY(m_root.isValid());
    QCOMPARE(dpkgDeb({QStringLiteral("-x"), m_deb, m_root.path()}), QByteArray());
}

void tst_Package::controlFields()
{
    const auto field = [this](const char *name) {
        return dpkgDeb({QStringLiteral("-f"), m_deb, QString::fromLatin1(name)}).trimmed();
    };
    QCOMPARE(field("Package"), QByteArray(DEB_PACKAGE));
    QCOMPARE(field("Version"), QByteArray(DEB_VERSION));
    // Found by dpkg-shlibdeps in the libraries the programs link.
    const QByteArray depends = field("Depends");
    for (const char *library : {"libqt5core5a", "libqt5network5", "libqt5sql5", "libqt5widgets5", "libssl3", "libc6"})
        QVERIFY2(depends.contains(QByteArray(library) + " ("), depends + " lacks " + library);
    // The SQL drivers are plugins: none is a dependency, one is recommended.
    QVERIFY2(!depends.contains("libqt5sql5-") && !depends.contains("odbc"), depends);
    QVERIFY(field("Recommends").contains("libqt5sql5-mysql | libqt5sql5-odbc | libqt5sql5-ibase"));
    QVERIFY(field("Suggests").contains("unixodbc, odbc-postgresql, odbc-mariadb"));
}

void tst_Package::installs_data()
{
    QTest::addColumn<QString>("path");       // in the package
    QTest::addColumn<QString>("source");     // the file of the source tree it is, or empty
    QTest::addColumn<bool>("executable");
    const QString prefix = QStringLiteral(DEB_PREFIX).mid(1) + QLatin1Char('/');
    const QString doc = prefix + QStringLiteral("share/doc/" DEB_PACKAGE "/");
#define ROW(tag, path, source, executable) QTest::newRow(tag) << QString(path) << QStringLiteral(source) << executable
    ROW("agent", prefix + "bin/tovr_merk_agent", "", true);
    ROW("lookup client", prefix + "bin/tovr_merk_lookup", "", true);
    ROW("example INI", prefix + "share/tovr_merk_agent/tovr_merk.ini", "dist/tovr_merk.ini", false);
    ROW("desktop entry", prefix + "share/applications/tovr_merk_agent.desktop", "dist/tovr_merk_agent.desktop", false);
    ROW("fail2ban filter", prefix + "share/tovr_merk_agent/fail2ban/filter.d/tovr-merk.conf", "dist/fail2ban/filter.d/tovr-merk.conf", false);
    ROW("logrotate file", prefix + "share/tovr_merk_agent/logrotate/tovr_merk_agent", "dist/logrotate/tovr_merk_agent", false);
    ROW("systemd unit", "lib/systemd/system/tovr_merk_agent.service", "", false);
    ROW("copyright", doc + "copyright", "dist/copyright", false);
    ROW("changelog", doc + "changelog.gz", "", false);
    ROW("agent manual page", prefix + "share/man/man1/tovr_merk_agent.1.gz", "", false);
    ROW("lookup manual page", prefix + "share/man/man1/tovr_merk_lookup.1.gz", "", false);
#undef ROW
}

void tst_Package::installs()
{
    QFETCH(QString, path);
    QFETCH(QString, source);
    QFETCH(bool, executable);
    const QFileInfo file(unpacked(path));
    QVERIFY2(file.isFile(), qPrintable(path));
    QVERIFY(file.size() > 0);
    QCOMPARE(file.isExecutable(), executable);
    if (!source.isEmpty())
        QCOMPARE(readFile(file.filePath()), sourceFile(source));
}

// ExecStart names the agent where the package puts it, and the agent found
// there starts headless on a quiet INI, answers a check and ends on SIGTERM.
void tst_Package::unitStartsTheUnpackedAgent()
{
    const QByteArray unit = readFile(unpacked(QStringLiteral("lib/systemd/system/tovr_merk_agent.service")));
    QVERIFY2(!unit.contains('@'), unit); // every template variable replaced
    QByteArray execStart;
    int fileLimit = 0;
    for (const QByteArray &line : unit.split('\n')) {
        if (line.startsWith("ExecStart="))
            execStart = line.mid(int(qstrlen("ExecStart=")));
        else if (line.startsWith("LimitNOFILE="))
            fileLimit = line.mid(int(qstrlen("LimitNOFILE="))).toInt();
    }
    QCOMPARE(execStart, QByteArray(DEB_PREFIX "/bin/tovr_merk_agent"));
    QVERIFY2(fileLimit > 1024, unit); // above the usual soft limit: the agent raises its own to it

    AgentProcess agent;
    agent.program = unpacked(QString::fromUtf8(execStart));
    QVERIFY2(agent.start(), qPrintable(agent.outcome()));
    QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/exe").arg(agent.pid())).canonicalFilePath(),
             QFileInfo(agent.program).canonicalFilePath());
    QCOMPARE(logMessages(readFile(QDir(agent.workPath()).filePath(QStringLiteral("debug-log.txt")))).value(0),
             QStringLiteral("[i] Logger start."));

    // The listeners open after the first log line.
    QByteArray answer;
    const bool answered = QTest::qWaitFor([&] {
        answer = exchange(agent.port(QStringLiteral("http/port")), checkRequest("alice", "secret"), 2000);
        return !answer.startsWith("<refused>");
    }, 20000);
    QVERIFY2(answered, answer);
    QVERIFY2(answer.startsWith("HTTP/1.0 200 Ok\r\n"), answer);

    QVERIFY2(agent.signalEndsCleanly(SIGTERM), qPrintable(agent.outcome()));
}

QTEST_GUILESS_MAIN(tst_Package)
#include "tst_package.moc"
