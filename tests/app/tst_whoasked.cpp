#include "audit/auditlog.h"
#include "support/agent.h"
#include "support/haproxy.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

const QString Alice = QStringLiteral("username=alice&password=Zq9secret");

// The audit file's lines, each parsed; a line that is no JSON object comes back empty.
QVector<QJsonObject> auditLines(const QString &path)
{
    QVector<QJsonObject> out;
    for (const QByteArray &line : readFile(path).split('\n'))
        if (!line.isEmpty())
            out << QJsonDocument::fromJson(line).object();
    return out;
}

// The agent's answer to curl run from the address given, or what curl said.
QByteArray curl(const QString &from, const QString &url, const QStringList &more = {})
{
    const ProgramRun curl = runProgram("curl", QStringList {"-sS", "--noproxy", "*", "--interface", from, "--max-time", "10", url} + more);
    return curl.out + curl.err;
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
    void fail2banReadsTheFailures();
    void listenerBindsOnlyItsAddress();

private:
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
    QTest::newRow("v2_untrusted_refused") << "send-proxy-v2" << false << "127.0.0.2" << "10.0.0.0/8";
}

// A real HAProxy relays a client on 127.0.0.2 or ::1 with a PROXY header: the audit names that client, not
// the proxy. Its health checks on the plain listener are the proxy's own address (v2 sends them as LOCAL).
// From an address the agent does not trust, the header is refused: no answer, and counted.
void tst_WhoAsked::proxyHeaderGivesTheClient()
{
    QFETCH(QString, sendProxy);
    QFETCH(bool, tls);
    QFETCH(QString, from);
    QFETCH(QString, trusted);
    REQUIRE_HERE(QFile::exists(HaproxyPath), QStringLiteral("HAProxy is missing (Debian's haproxy)"));
    const bool v6 = from.contains(':'), untrusted = !trusted.startsWith("127."), checked = !tls && !untrusted;
    if (v6 && !QTcpServer().listen(QHostAddress::LocalHostIPv6))
        QSKIP("no ::1 on lo here");
    SqliteAgent agent;
    const QString audit = agent.work.filePath("audit.log"), cert = m_certificate.filePath("cert.pem");
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, "uid",
                           {{"http/proxy_protocol", "true"}, {"https/proxy_protocol", "true"},
                            {"http/trusted_proxies", '"' + trusted + '"'}, {"https/port", QString::number(freePort())},
                            {"https/certificate", cert}, {"https/key", m_certificate.filePath("key.pem")},
                            {"admin/port", QString::number(freePort())}, {"log/audit", audit}}), QString());
    const quint16 front = freePort();
    const QString checks = " check check-send-proxy inter 100ms\n option httpchk GET /t/check?" + Alice + "\n http-check expect string u-17";
    Haproxy haproxy;
    QString error;
    QVERIFY2(haproxy.start("global\n" + haproxy.statsSocketLine()
                 + QString("\ndefaults\n mode tcp\n timeout connect 2s\n timeout client 5s\n timeout server 5s\n"
                           "listen front\n bind %1:%2\n server agent 127.0.0.1:%3 %4%5\n")
                       .arg(v6 ? "[::1]" : "127.0.0.1").arg(front).arg(agent.port(tls ? "https/port" : "http/port"))
                       .arg(sendProxy, checked ? checks : "").toUtf8(), &error),
             qPrintable(error));
    const QByteArray answer = curl(from, QString("%1://%2:%3/t/check?").arg(tls ? "https" : "http", v6 ? "[::1]" : "127.0.0.1")
                                             .arg(front) + Alice, {"--cacert", cert});
    QVERIFY2(untrusted ? !answer.contains("exist") : answer == "{\"rez\":\"exist\",\"userid\":\"u-17\"}\n", answer.constData());
    QCOMPARE(metricValue(agent.port("admin/port"), "tovr_merk_proxy_headers_refused_total"), QByteArray(untrusted ? "1" : "0"));
    const auto clients = [&] {
        QStringList seen;
        for (const QJsonObject &line : auditLines(audit))
            seen << line["client"].toString() + ' ' + line["listener"].toString();
        seen.removeDuplicates();
        seen.sort();
        return seen.join(", ");
    };
    const QString relayed = from + (tls ? " https" : " http");
    QTRY_COMPARE(clients(), untrusted ? QString() : checked ? "127.0.0.1 http, " + relayed : relayed);
}

// The shipped filter finds exactly the not-found and throttle-refused lines, each with its client, whatever
// the user names try: first of an audit file a real agent wrote (every line JSON, none holding the password),
// then of lines for the sources and verdicts a check over HTTP does not readily give. The filter needs the
// line's own time: without it no line matches.
void tst_WhoAsked::fail2banReadsTheFailures()
{
    const QString tool = QStandardPaths::findExecutable("fail2ban-regex");
    REQUIRE_HERE(!tool.isEmpty(), QStringLiteral("fail2ban-regex is missing (Debian's fail2ban)"));
    SqliteAgent agent;
    const QString audit = agent.work.filePath("audit.log");
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, "uid", {{"log/audit", audit}}), QString());
    const QString url = QString("http://127.0.0.1:%1/t/check").arg(agent.httpPort());
    const QStringList hostile {"alice", "m\",\"client\":\"1.2.3.4", "q\\\"\n\"verdict\":\"exist", "\u00fcber\x01"};
    for (const QString &user : hostile) {
        curl("127.0.0.1", url, {"--data-urlencode", "username=" + user, "--data-urlencode", "password=wrong"});
        curl("127.0.0.2", url + '?' + Alice);
    }
    QTRY_COMPARE(auditLines(audit).size(), 2 * hostile.size());
    for (const QJsonObject &line : auditLines(audit))
        QVERIFY(!line.isEmpty() && !line.contains("password") && !QJsonDocument(line).toJson().contains("wrong"));

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

// http/address=127.0.0.1: 127.0.0.2, also on lo, reaches nothing there.
void tst_WhoAsked::listenerBindsOnlyItsAddress()
{
    SqliteAgent agent;
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, "uid", {{"http/address", "127.0.0.1"}}), QString());
    const QString url = QString("http://%2:%1/t/check?").arg(agent.httpPort()) + Alice;
    QVERIFY(curl("127.0.0.1", url.arg("127.0.0.1")).contains("u-17"));
    QVERIFY(!curl("127.0.0.2", url.arg("127.0.0.2")).contains("rez"));
}

QTEST_MAIN(tst_WhoAsked)
#include "tst_whoasked.moc"
