#include "support/agent.h"
#include "support/sqlfixture.h"
#include "support/sqlserver.h"
#include "support/wireclient.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QtTest>

#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// The agent as a service runs it: headless, under systemd, its password kept
// out of the INI, its configuration read again on SIGHUP.
class tst_Service : public QObject
{
    Q_OBJECT

private slots:
    void headlessStartFailureEnds_data();
    void headlessStartFailureEnds();
    void notifySocketHearsTheLifecycle();
    void quietOutputKeepsFailures();
    void passwordFromFileNeverWritten_data();
    void passwordFromFileNeverWritten();
    void reloadTakesOrRefuses_data();
    void reloadTakesOrRefuses();
    void switchesOffLookupAndProvisioning();
};

// A datagram socket standing in for systemd's notify socket: every message
// it receives, in order.
class NotifySocket
{
public:
    NotifySocket() : m_path(m_dir.filePath(QStringLiteral("notify")))
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(m_path).constData(), sizeof address.sun_path);
        QVERIFY(::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] {
            char buffer[4096];
            for (ssize_t n; (n = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0;)
                messages << QString::fromUtf8(buffer, int(n));
        });
    }
    ~NotifySocket() { ::close(m_fd); }
    QString path() const { return m_path; }
    // The first message at or after `from` that starts with prefix; -1 when
    // none, or when from is -1 (a message before it was not found).
    int indexOf(const QString &prefix, int from = 0) const
    {
        for (int i = from; i >= 0 && i < messages.size(); ++i)
            if (messages.at(i).startsWith(prefix))
                return i;
        return -1;
    }
    QStringList messages;

private:
    QTemporaryDir m_dir;
    QString m_path;
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

void tst_Service::headlessStartFailureEnds_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value"); // "taken": a port the test holds
    QTest::addColumn<QString>("said");
#define ROW(tag, key, value, said) QTest::newRow(tag) << QString(key) << QString(value) << QString(said)
    ROW("lookup_port_taken",      "server/port", "taken", "[-] the lookup listener cannot listen on port %1");
    ROW("http_port_taken",        "http/port", "taken", "[-] the HTTP listener cannot listen on port %1");
    ROW("admin_port_taken",       "admin/port", "taken", "[-] the admin listener cannot listen on port %1");
    ROW("bind_address_not_one",   "http/address", "eth0", "'eth0' is not an IP address");
    ROW("https_pair_missing",     "https/port", QString::number(freePort()), "[-] the HTTPS listener does not start: ");
    ROW("password_file_missing",  "sql/password_file", "/nonexistent/pw", "sql/password_file /nonexistent/pw does not exist");
    ROW("password_file_empty",    "sql/password_file", "<empty file>", "sql/password_file %1 is empty");
    ROW("password_file_a_device", "sql/password_file", "/dev/null", "sql/password_file /dev/null is not a regular file");
#undef ROW
}

// Headless, nobody can answer the box these would show: the agent says why
// and ends with a status its supervisor acts on, well within 10 s.
void tst_Service::headlessStartFailureEnds()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, said);
    QTcpServer holder;
    QTemporaryDir dir;
    if (value == QLatin1String("taken")) {
        QVERIFY(holder.listen(QHostAddress::Any, freePort()));
        value = QString::number(holder.serverPort());
        said = said.arg(value);
    } else if (value == QLatin1String("<empty file>")) {
        value = dir.filePath("pw");
        QVERIFY(writeFile(value, QByteArray()));
        said = said.arg(value);
    }
    AgentProcess agent(quietAgentSettings({{key, value}}));
    QVERIFY2(agent.start(), qPrintable(agent.outcome()));
    QCOMPARE(agent.exitCode(10000), 1); // from the start, which is quicker than a second
    QVERIFY2(agent.standardError.contains(said.toUtf8()), qPrintable(agent.outcome()));
    QVERIFY(readFile(agent.workPath() + "/debug-log.txt").contains(said.toUtf8()));
}

// READY=1 with its status once the listeners listen, WATCHDOG=1 at half
// WATCHDOG_USEC, RELOADING=1 (with the reload's start time) and READY=1 around
// SIGHUP, STOPPING=1 at SIGTERM.
void tst_Service::notifySocketHearsTheLifecycle()
{
    NotifySocket socket;
    AgentProcess agent;
    agent.environment = {{"NOTIFY_SOCKET", socket.path()}, {"WATCHDOG_USEC", "200000"}};
    QVERIFY2(agent.start(), qPrintable(agent.outcome()));
    QTRY_VERIFY_WITH_TIMEOUT(socket.indexOf("READY=1") >= 0, 10000);
    const QString ready = socket.messages.at(socket.indexOf("READY=1"));
    QVERIFY2(ready.contains(QStringLiteral("\nSTATUS=The APIB is running IP: ")), qPrintable(ready));
    QVERIFY2(ready.contains(QStringLiteral("; The HTTP is running IP: ")), qPrintable(ready));
    QVERIFY2(ready.endsWith(QStringLiteral("; database answering")), qPrintable(ready));
    QTRY_VERIFY(socket.messages.count(QStringLiteral("WATCHDOG=1")) >= 2);

    ::kill(pid_t(agent.pid()), SIGHUP);
    QTRY_VERIFY_WITH_TIMEOUT(socket.indexOf("READY=1", socket.indexOf("RELOADING=1")) > 0, 10000);
    QVERIFY(QRegularExpression("^RELOADING=1\nMONOTONIC_USEC=\\d+$")
                .match(socket.messages.at(socket.indexOf("RELOADING=1")))
                .hasMatch());

    QVERIFY2(agent.signalEndsCleanly(SIGTERM), qPrintable(agent.outcome()));
    QTRY_VERIFY(socket.indexOf("STOPPING=1") > socket.indexOf("RELOADING=1"));
}

// Debug output off, as the unit runs it: the narration is gone, every failure
// stays. Headless, the database's start-up box is said and not waited for, a
// notify socket that names nothing is said once, and the agent serves and
// stops as Quit does.
void tst_Service::quietOutputKeepsFailures()
{
    AgentProcess agent(quietAgentSettings({{"sql/type", "QPSQL"}, {"sql/host", "127.0.0.1"},
                                           {"sql/port", QString::number(freePort())}, // nothing listens there
                                           {"sql/query", "\"select uid from users where login=:s1 and pw=:s2\""}}));
    agent.environment = {{"QT_LOGGING_RULES", "*.debug=false"}, {"NOTIFY_SOCKET", "/nonexistent/notify"}};
    QVERIFY2(agent.start(), qPrintable(agent.outcome()));
    const quint16 port = agent.port("http/port");
    QTRY_COMPARE_WITH_TIMEOUT(exchange(port, checkRequest("alice", "x"), 2000), notFound(), 20000);
    QVERIFY2(agent.signalEndsCleanly(SIGTERM), qPrintable(agent.outcome()));
    QVERIFY(QFile::exists(agent.storePath()));

    for (const QByteArray &failure : {QByteArray("[e] db.lastError[1]= \""),
                                     QByteArray("[box] TOVR/MERK SQL Agent (checker): [1] Unable to connect to SQL."),
                                     QByteArray("[e] q.le= \""), QByteArray("[e] query.lastError= \"")})
        QVERIFY2(agent.standardError.contains(failure), failure.constData());
    QCOMPARE(agent.standardError.count("[e] systemd: NOTIFY_SOCKET /nonexistent/notify does not take messages"), 1);
    for (const QByteArray &narration : {QByteArray("iv[1]:"), QByteArray("[d] slotReadClient"), QByteArray("httpQuery=")})
        QVERIFY2(!agent.standardError.contains(narration), narration.constData());
}

void tst_Service::passwordFromFileNeverWritten_data()
{
    QTest::addColumn<QString>("iniPassword"); // "<absent>": no sql/password
    QTest::addColumn<bool>("file");
    QTest::addColumn<QByteArray>("credential");
    QTest::newRow("password_file")          << "wrong-one" << true << QByteArray();
    QTest::newRow("credential")             << "<absent>" << false << QByteArray("s3cret-Pw\n");
    QTest::newRow("file_before_credential") << "<absent>" << true << QByteArray("not-this-one\n");
}

// The password the server needs comes from a file; the per-user store gets
// the INI's own sql/password (empty when it has none), and no output shows it.
void tst_Service::passwordFromFileNeverWritten()
{
    QFETCH(QString, iniPassword);
    QFETCH(bool, file);
    QFETCH(QByteArray, credential);
    QString serverError;
    const SqlServer *pg = sharedServer(Backend::Postgres, usersTable(), &serverError);
    REQUIRE_HERE(pg, serverError);

    QTemporaryDir secrets;
    QVERIFY(QDir(secrets.path()).mkdir("credentials"));
    QVERIFY(writeFile(secrets.filePath("pw"), pg->password().toUtf8() + "\n", QFile::ReadOwner));
    QVERIFY(credential.isEmpty() || writeFile(secrets.filePath("credentials/sql_password"), credential));
    IniValues values = serverAgentSettings(*pg, CheckStatement, "uid");
    values.remove("sql/password");
    if (iniPassword != QLatin1String("<absent>"))
        values["sql/password"] = iniPassword;
    if (file)
        values["sql/password_file"] = secrets.filePath("pw");
    AgentProcess agent(values);
    agent.environment = {{"CREDENTIALS_DIRECTORY", secrets.filePath("credentials")}};
    QVERIFY2(agent.start(), qPrintable(agent.outcome()));
    QTRY_COMPARE_WITH_TIMEOUT(exchange(agent.port("http/port"), checkRequest("alice", "Zq9secret"), 2000),
                              found("u-17"), 20000);
    QVERIFY2(agent.signalEndsCleanly(SIGTERM), qPrintable(agent.outcome()));

    QCOMPARE(QSettings(agent.storePath(), QSettings::IniFormat).value("sql/password").toString(),
             iniPassword == "<absent>" ? QString() : iniPassword);
    for (const QByteArray &output : {agent.standardError, readFile(agent.workPath() + "/debug-log.txt"),
                                     readFile(agent.storePath())})
        QVERIFY(!output.isEmpty() && !output.contains(pg->password().toUtf8()));
}

void tst_Service::reloadTakesOrRefuses_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value"); // "<empty file>", "<directory>": the INI itself
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("said");
    const QString refused = QStringLiteral("[e] reload refused, the configuration in use stays: ");
#define ROW(tag, key, value, answer, said) QTest::newRow(tag) << QString(key) << QString(value) << answer << QString(said)
    ROW("new_statement",            "sql/query", "\"select 'v2-' || uid as uid from users where login=:s1 and pw=:s2\"",
                                    found("v2-u-17"), "[+] tovr_merk.ini is read again");
    ROW("no_placeholders",          "sql/query", "select 'v2' as uid", found("u-17"), refused + "sql/query has no :s1 and :s2");
    ROW("unknown_driver",           "sql/type", "QNOSUCH", found("u-17"), refused + "sql/type QNOSUCH is not an available driver");
    ROW("password_file_unreadable", "sql/password_file", "/nonexistent/pw", found("u-17"),
                                    refused + "sql/password_file /nonexistent/pw does not exist");
    ROW("ini_emptied",              "", "<empty file>", found("u-17"), refused + "tovr_merk.ini is empty");
    ROW("ini_unreadable",           "", "<directory>", found("u-17"), refused + "tovr_merk.ini cannot be read");
    ROW("port_kept",                "http/port", "1", found("u-17"), "[i] reload: http/port changed; it takes effect at a restart");
    ROW("cut_short",                "sql/ret_param", "<gone>", found("u-17"),
                                    refused + "sql/ret_param is gone from tovr_merk.ini; to change it, write the value wanted");
    ROW("server_list_bad",          "sql/host", "\"db1,,db2\"", found("u-17"), refused + "sql/host entry 2 is empty; it goes to the driver as it stands");
    ROW("host_retry_taken",         "sql/host_retry", "5", found("u-17"), "[i] reload: checks from now on run on the new sql/ and cache/ settings; those under way finish on the old ones");
#undef ROW
}

// A reload takes a sound configuration for the next check; anything it
// refuses leaves the one in use answering, and it says why.
void tst_Service::reloadTakesOrRefuses()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, answer);
    QFETCH(QString, said);
    MessageCapture messages;
    SqliteAgent agent;
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, "uid"), QString());
    const QString ini = agent.work.filePath("tovr_merk.ini");
    if (value == QLatin1String("<empty file>")) {
        QFile(ini).resize(0);
    } else if (value == QLatin1String("<directory>")) {
        QVERIFY(QFile::remove(ini) && QDir().mkdir(ini));
    } else {
        IniValues next = agent.values;
        next[key] = value;
        if (value == QLatin1String("<gone>"))
            next.remove(key);
        agent.work.writeIni(iniText(next));
    }
    agent.inspect().reloadNow();
    QVERIFY2(messages.debug().contains(said), qPrintable(messages.debug().filter("reload").join('\n')));
    QVERIFY(agent.inspect().executor().answering()); // as it was, until a statement says otherwise
    QCOMPARE(exchange(agent.httpPort(), checkRequest("alice", "Zq9secret")), answer);
    QCOMPARE(agent.inspect().executor().counters().reopenAttempts, quint64(0)); // a first open is no reconnect
    QCOMPARE(messages.debug().filter("[e] reload refused").size(), said.startsWith("[e]") ? 1 : 0);
}

// server/port=0: no lookup listener and one line of status; an empty
// app/config_host: no provisioning request, so no answer of one is printed.
// The check still answers.
void tst_Service::switchesOffLookupAndProvisioning()
{
    MessageCapture messages;
    SqliteAgent agent;
    IniValues more {{"server/port", "0"}, {"app/config_host", ""}};
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, "uid", more), QString());
    QCOMPARE(agent.inspect().tcpServer(), nullptr);
    QVERIFY(!agent.inspect().statusLabel()->text().contains('\n'));
    QCOMPARE(exchange(agent.httpPort(), checkRequest("alice", "Zq9secret")), found("u-17"));
    QCOMPARE(messages.debugStartingWith("QJsonDocument("), QStringList());
}

QTEST_MAIN(tst_Service)
#include "tst_service.moc"
