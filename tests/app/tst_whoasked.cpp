#include "audit/auditlog.h"
#include "support/agent.h"
#include "support/haproxy.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSslSocket>
#include <QtTest>

#include <csignal>

namespace {

const QString Alice = QStringLiteral("username=alice&password=Zq9secret");

// Each audit line's client and listener, once each, sorted: "127.0.0.1 http, 127.0.0.2 https".
QString auditClients(const QString &path)
{
    QStringList seen;
    for (const QJsonObject &line : auditLines(path))
        seen << line["client"].toString() + ' ' + line["listener"].toString();
    seen.removeDuplicates();
    seen.sort();
    return seen.join(", ");
}

// What the agent answers a connection from `from` that sends header, then request: on the TLS port through a
// handshake after the header, else in the same write. A v1 header goes a byte at a time. "<close>" closes at
// once; with no request the agent's time-out ends the connection.
QByteArray onTheWire(quint16 port, bool tls, const QString &from, const QByteArray &header, const QByteArray &request)
{
    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    QByteArray received;
    QObject::connect(&socket, &QIODevice::readyRead, [&] { received += socket.readAll(); });
    QObject::connect(&socket, &QSslSocket::encrypted, [&] { socket.write(request); });
    if (!socket.bind(QHostAddress(from)) || (socket.connectToHost(QHostAddress::LocalHost, port), !socket.waitForConnected(5000)))
        return "<not connected>";
    const int step = header.startsWith("PROXY") ? 1 : header.size() + 1;
    for (int i = 0; i < header.size(); i += step) {
        socket.write(header.mid(i, step));
        if (step == 1 && socket.flush())
            QCoreApplication::processEvents(); // the agent, in this process, reads each byte on its own
    }
    if (request == "<close>")
        socket.disconnectFromHost();
    else if (tls && !request.isEmpty())
        socket.startClientEncryption();
    else
        socket.write(request);
    const bool closed = QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 5000);
    return (closed ? "" : "<no close> ") + received + socket.readAll();
}

} // namespace

// Who asked: the client's address in the audit log, through a proxy's PROXY header too, fail2ban reading
// that log, a listener bound to one address. 127.0.0.2 is a second client on lo.
class tst_WhoAsked : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QCOMPARE(makeCertificate(m_certificate.path(), "ec:prime256v1"), QString()); }
    void proxyHeaderGivesTheClient_data();
    void proxyHeaderGivesTheClient();
    void headerOnTheWire_data();
    void headerOnTheWire();
    void fail2banReadsTheFailures();
    void logrotateThenStandardError();
    void listenerBindsOnlyItsAddress();

private:
    // An agent expecting PROXY headers from trusted on both ports, auditing into audit.log.
    QString startBehindProxy(SqliteAgent &agent, const QString &trusted)
    {
        return startOnSqlite(agent, usersTable(), CheckStatement, "uid",
                             withValues(tlsSettings(m_certificate.path()),
                                        {{"http/proxy_protocol", "true"}, {"https/proxy_protocol", "true"},
                                         {"http/trusted_proxies", '"' + trusted + '"'}, {"admin/port", QString::number(freePort())},
                                         {"log/audit", agent.work.filePath("audit.log")}}));
    }

    QTemporaryDir m_certificate;
};

void tst_WhoAsked::proxyHeaderGivesTheClient_data()
{
    QTest::addColumn<QString>("sendProxy"); // HAProxy's server option
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("from"); // the client's address
    QTest::addColumn<QString>("trusted");
    QTest::newRow("v1_plain")             << "send-proxy"    << false << "127.0.0.2" << "127.0.0.1";
    QTest::newRow("v2_plain")             << "send-proxy-v2" << false << "127.0.0.2" << "127.0.0.0/8, ::1";
    QTest::newRow("v1_from_ipv6")         << "send-proxy"    << false << "::1"       << "127.0.0.1";
    QTest::newRow("v2_from_ipv6")         << "send-proxy-v2" << false << "::1"       << "127.0.0.1";
    QTest::newRow("v1_tls")               << "send-proxy"    << true  << "127.0.0.2" << "127.0.0.1";
    QTest::newRow("v2_tls")               << "send-proxy-v2" << true  << "127.0.0.2" << "127.0.0.1";
}

// A real HAProxy relays a client on 127.0.0.2 or ::1 with a PROXY header: the audit names that client, not
// the proxy. Its health checks on the plain listener are the proxy's own address (v2 sends them as LOCAL).
// None of its headers is refused; headerOnTheWire has the ones that are.
void tst_WhoAsked::proxyHeaderGivesTheClient()
{
    QFETCH(QString, sendProxy);
    QFETCH(bool, tls);
    QFETCH(QString, from);
    QFETCH(QString, trusted);
    REQUIRE_HERE(QFile::exists(HaproxyPath), QStringLiteral("HAProxy is missing (Debian's haproxy)"));
    const bool v6 = from.contains(':');
    if (v6 && !QTcpServer().listen(QHostAddress::LocalHostIPv6))
        QSKIP("no ::1 on lo here");
    SqliteAgent agent;
    const QString audit = agent.work.filePath("audit.log"), cert = m_certificate.filePath("cert.pem");
    QCOMPARE(startBehindProxy(agent, trusted), QString());
    const quint16 front = freePort();
    const QString checks = " check check-send-proxy inter 100ms\n option httpchk GET /t/check?" + Alice + "\n http-check expect string u-17";
    Haproxy haproxy;
    QString error;
    QVERIFY2(haproxy.start("global\n" + haproxy.statsSocketLine()
                 + QString("\ndefaults\n mode tcp\n timeout connect 2s\n timeout client 5s\n timeout server 5s\n"
                           "listen front\n bind %1:%2\n server agent 127.0.0.1:%3 %4%5\n")
                       .arg(v6 ? "[::1]" : "127.0.0.1").arg(front).arg(agent.port(tls ? "https/port" : "http/port"))
                       .arg(sendProxy, tls ? "" : checks).toUtf8(), &error),
             qPrintable(error));
    const QByteArray answer = curlFrom(from, QString("%1://%2:%3/t/check?").arg(tls ? "https" : "http", v6 ? "[::1]" : "127.0.0.1")
                                             .arg(front) + Alice, {"--cacert", cert});
    QCOMPARE(answer, QByteArray("{\"rez\":\"exist\",\"userid\":\"u-17\"}\n"));
    QCOMPARE(metricValue(agent.port("admin/port"), "tovr_merk_proxy_headers_refused_total"), QByteArray("0"));
    const QString relayed = from + (tls ? " https" : " http");
    QTRY_COMPARE(auditClients(audit), tls ? relayed : "127.0.0.1 http, " + relayed);
}

void tst_WhoAsked::headerOnTheWire_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("from"); // 127.0.0.1 is the trusted proxy
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("client"); // in the audit; empty: no line
    QTest::addColumn<QString>("said");   // the error, or for an untrusted peer the debug line; empty: not counted
    const QByteArray v1 = "PROXY TCP4 203.0.113.9 127.0.0.1 40000 80\r\n", check = checkRequest("alice", "Zq9secret");
    const QByteArray v2 = hexBytes("0D0A0D0A 000D0A51 5549540A 21210024 20010DB8") + QByteArray(11, 0) + '\7' + QByteArray(16, 0) + "abcd";
    const QByteArray exist = found("u-17");
    // A line feed past the request line's limit of 64 KiB, within what room for a proxy's header adds to it.
    const QByteArray longLine = QByteArray(66000, 'x') + "GET /t/check?" + Alice.toUtf8() + " HTTP/1.1\r\n\r\n";
    const QString untrusted = "[d] closed without an answer: a PROXY header from 127.0.0.2, which http/trusted_proxies does not hold";
    for (const bool tls : {false, true}) {
        const auto row = [tls](const char *tag) -> QTestData & { return QTest::newRow(qPrintable((tls ? "tls_" : "plain_") + QString(tag))) << tls; };
        row("v1_byte_by_byte")      << "127.0.0.1" << v1 << check << exist << "203.0.113.9" << "";
        row("v2_request_at_once")   << "127.0.0.1" << v2 << check << exist << "2001:db8::7" << "";
        row("second_header")        << "127.0.0.1" << v1 << v1 + check << notFound() << "203.0.113.9" << "";
        row("bad_header")           << "127.0.0.1" << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n") << check << QByteArray() << ""
                                    << "[e] refused the PROXY header from 127.0.0.1: PROXY v1 line ends in a LF without a CR";
        row("header_cut_short")     << "127.0.0.1" << v1.left(20) << QByteArray() << QByteArray() << ""
                                    << "[e] refused the PROXY header from 127.0.0.1: not whole in time";
        row("header_then_close")    << "127.0.0.1" << v1.left(20) << QByteArray("<close>") << QByteArray() << ""
                                    << "[e] refused the PROXY header from 127.0.0.1: the connection ended before it was whole";
        row("trusted_says_nothing") << "127.0.0.1" << QByteArray() << QByteArray() << QByteArray() << "" << "";
        row("trusted_closes")       << "127.0.0.1" << QByteArray() << QByteArray("<close>") << QByteArray() << "" << "";
        row("untrusted_header")     << "127.0.0.2" << v1 << check << QByteArray() << "" << untrusted;
        row("untrusted_closes")     << "127.0.0.2" << QByteArray() << QByteArray("<close>") << QByteArray() << "" << "";
        row("long_line_after_v2")   << "127.0.0.1" << v2 << longLine << notFound() << "2001:db8::7" << "";
        row("untrusted_long_line")  << "127.0.0.2" << QByteArray() << longLine << notFound() << "127.0.0.2" << "";
    }
}

// Each way a connection can begin, from the trusted proxy and from elsewhere, on both ports: a header read
// whole however it arrives gives the client; a bad one, or one not whole in time or when the connection ends, is
// refused, said and counted; a connection that brought nothing is no header at all. Then a plain request from
// 127.0.0.2 is served as its own.
void tst_WhoAsked::headerOnTheWire()
{
    QFETCH(bool, tls);
    QFETCH(QString, from);
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QFETCH(QString, client);
    QFETCH(QString, said);
    MessageCapture messages;
    SqliteAgent agent;
    QCOMPARE(startBehindProxy(agent, "127.0.0.1"), QString());
    QCOMPARE(onTheWire(agent.port(tls ? "https/port" : "http/port"), tls, from, header, request), answer);
    QCOMPARE(onTheWire(agent.httpPort(), false, "127.0.0.2", {}, checkRequest("alice", "Zq9secret")),
             found("u-17"));
    QCOMPARE(metricValue(agent.port("admin/port"), "tovr_merk_proxy_headers_refused_total"), QByteArray(said.isEmpty() ? "0" : "1"));
    QCOMPARE(messages.warnings().filter("PROXY") + messages.debug().filter("which http/trusted_proxies"),
             said.isEmpty() ? QStringList() : QStringList {said});
    QStringList clients {"127.0.0.2 http"};
    if (!client.isEmpty())
        clients << client + (tls ? " https" : " http");
    clients.sort();
    clients.removeDuplicates();
    QTRY_COMPARE(auditClients(agent.work.filePath("audit.log")), clients.join(", "));
}

// The shipped filter finds exactly the not-found and throttle-refused lines, each with its client, whatever
// the user names try: first of an audit file a real agent wrote (every line JSON, none holding the password,
// the found ones the identifier, as log/audit_userid asks), then of lines for the sources and verdicts a check
// over HTTP does not readily give. The filter needs the line's own time: without it no line matches.
void tst_WhoAsked::fail2banReadsTheFailures()
{
    const QString tool = QStandardPaths::findExecutable("fail2ban-regex");
    REQUIRE_HERE(!tool.isEmpty(), QStringLiteral("fail2ban-regex is missing (Debian's fail2ban)"));
    SqliteAgent agent;
    const QString audit = agent.work.filePath("audit.log");
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, "uid", {{"log/audit", audit}, {"log/audit_userid", "true"}}), QString());
    const QString url = QString("http://127.0.0.1:%1/t/check").arg(agent.httpPort());
    const QStringList hostile {"alice", "m\",\"client\":\"1.2.3.4", "q\\\"\n\"verdict\":\"exist", "\u00fcber\x01"};
    for (const QString &user : hostile) {
        curlFrom("127.0.0.1", url, {"--data-urlencode", "username=" + user, "--data-urlencode", "password=wrong"});
        curlFrom("127.0.0.2", url + '?' + Alice);
    }
    QTRY_COMPARE(auditLines(audit).size(), 2 * hostile.size());
    for (const QJsonObject &line : auditLines(audit))
        QVERIFY(!line.isEmpty() && !line.contains("password") && !QJsonDocument(line).toJson().contains("wrong")
                && line["userid"].toString() == (line["verdict"] == "exist" ? "u-17" : ""));

    using Audit::Verdict;
    using Audit::Source;
    const auto record = [](const QString &user, const QString &client, Verdict verdict, Source source) {
        return Audit::line({QDateTime::currentDateTimeUtc(), client, "http", user, verdict, source, 3.14, {}});
    };
    QFile file(audit);
    QVERIFY(file.open(QIODevice::Append));
    for (const QByteArray &line : {record("x\",\"client\":\"1.2.3.4", "198.51.100.2", Verdict::NotFound, Source::Cache),
                                   record("y\",\"verdict\":\"notfount\",\"source\":\"db", "198.51.100.3", Verdict::Exist, Source::Database),
                                   record("\"}\n" + record("z", "1.2.3.4", Verdict::NotFound, Source::Database), "2001:db8::9",
                                          Verdict::Unavailable, Source::Database),
                                   record("carol", "2001:db8::1", Verdict::Refused, Source::Throttle),
                                   record("dave\",\"source\":\"throttle", "192.0.2.1", Verdict::Refused, Source::Request),
                                   record("eve\\", "192.0.2.2", Verdict::NotFound, Source::Stale),
                                   record(QString(255, 'n') + "\\\",\"verdict\":\"notfount", "192.0.2.3", Verdict::Exist, Source::Database)})
        file.write(line);
    file.close();
    const ProgramRun regex = runProgram(tool, {"--raw", "-o", "ip", audit, AGENT_SOURCE_DIR "/dist/fail2ban/filter.d/tovr-merk.conf"}, {}, 60000);
    QVERIFY2(regex.exitCode == 0, regex.err.constData());
    QCOMPARE(QString(regex.out),
             QString("127.0.0.1\n").repeated(hostile.size()) + "198.51.100.2\n2001:db8::1\n192.0.2.2\n");
}

// The shipped logrotate file, run by logrotate on a running agent's audit log (as root here, so without its su
// line; its postrotate signals this agent): the old lines move, the agent writes on into a file of its own.
// Then log/audit=- and a reload: the lines go to standard error as they are, never into the debug output.
void tst_WhoAsked::logrotateThenStandardError()
{
    const QString tool = QStandardPaths::findExecutable("logrotate", {"/usr/sbin", "/sbin"});
    REQUIRE_HERE(!tool.isEmpty(), QStringLiteral("logrotate is missing (Debian's logrotate)"));
    QTemporaryDir dir;
    const QString audit = dir.filePath("audit.log");
    AgentProcess agent(quietAgentSettings({{"log/audit", audit}}));
    agent.environment["QT_MESSAGE_PATTERN"] = "dbg %{message}"; // each line of the debug output
    QVERIFY2(agent.start(), qPrintable(agent.outcome()));
    QTRY_VERIFY(accepts(agent.port("http/port"))); // its first log line comes before it listens
    const auto check = [&](const QString &user) {
        curlFrom("127.0.0.1", QString("http://127.0.0.1:%1/t/check?username=%2&password=x").arg(agent.port("http/port")).arg(user));
    };
    const auto reloaded = [&](int times) { return QTest::qWaitFor([&] { return agent.standardError.count("[+] tovr_merk.ini is read again") == times; }, 10000); };
    check("before");
    QString conf = QString(sourceFile("dist/logrotate/tovr_merk_agent")).replace("/var/lib/tovr_merk_agent/audit.log", audit)
                       .replace("systemctl kill -s HUP tovr_merk_agent.service", "kill -HUP " + QString::number(agent.pid()));
    QVERIFY(writeFile(dir.filePath("logrotate.conf"), conf.remove(QRegularExpression("\\n *su [^\\n]*")).toUtf8()));
    QTRY_COMPARE(auditUsers(audit), QStringList {"before"});
    const ProgramRun rotate = runProgram(tool, {"-f", "-s", dir.filePath("state"), dir.filePath("logrotate.conf")});
    QVERIFY2(rotate.exitCode == 0 && reloaded(1), rotate.err.constData());
    check("after");
    QTRY_COMPARE(auditUsers(audit), QStringList {"after"});
    QCOMPARE(auditUsers(audit + ".1"), QStringList {"before"});
    QCOMPARE(QFileInfo(audit).permissions(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup);

    QVERIFY(writeFile(agent.iniPath(), withIniValues(agent.ini, {{"log/audit", "-"}})));
    ::kill(pid_t(agent.pid()), SIGHUP);
    QVERIFY(reloaded(2));
    check("to_stderr");
    const auto line = [&] { // the first audit line on standard error, once whole
        const int at = agent.standardError.indexOf("\n{\"time\":") + 1, end = agent.standardError.indexOf('\n', at);
        return at > 0 && end > 0 ? agent.standardError.mid(at, end - at) : QByteArray();
    };
    QTRY_COMPARE(QJsonDocument::fromJson(line()).object()["user"].toString(), QString("to_stderr"));
    QVERIFY(!agent.standardError.contains("dbg {"));
    QCOMPARE(auditUsers(audit), QStringList {"after"});
}

// http/address=127.0.0.1: 127.0.0.2, also on lo, reaches nothing there.
void tst_WhoAsked::listenerBindsOnlyItsAddress()
{
    SqliteAgent agent;
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, "uid", {{"http/address", "127.0.0.1"}}), QString());
    const QString url = QString("http://%2:%1/t/check?").arg(agent.httpPort()) + Alice;
    QVERIFY(curlFrom("127.0.0.1", url.arg("127.0.0.1")).contains("u-17"));
    QVERIFY(!curlFrom("127.0.0.2", url.arg("127.0.0.2")).contains("rez"));
}

QTEST_MAIN(tst_WhoAsked)
#include "tst_whoasked.moc"
