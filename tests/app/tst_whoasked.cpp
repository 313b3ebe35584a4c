#include "support/agent.h"
#include "support/haproxy.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

// Who asked: the client's address in the audit log, through a proxy's PROXY
// header too, fail2ban reading that log, a throttle per address, a listener
// bound to one address. 127.0.0.2 is a second client: it is on lo.
class tst_WhoAsked : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void proxyHeaderGivesTheClient_data();
    void proxyHeaderGivesTheClient();
    void fail2banReadsTheNotFoundLines();
    void oneAddressGuessingIsSlowedOthersAreNot();
    void listenerBindsOnlyItsAddress();

private:
    // The audit file's lines, each parsed; a line that is not JSON fails.
    static QVector<QJsonObject> auditLines(const QString &path);
    // The agent's answer to curl run from the address given with more of its
    // options, or what curl said.
    static QByteArray curl(const QString &from, const QString &url, const QStringList &more = {});

    QTemporaryDir m_certificate;
};

void tst_WhoAsked::initTestCase()
{
    QCOMPARE(makeCertificate(m_certificate.path(), QStringLiteral("ec:prime256v1")), QString());
}

QVector<QJsonObject> tst_WhoAsked::auditLines(const QString &path)
{
    QVector<QJsonObject> out;
    for (const QByteArray &line : readFile(path).split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error {};
        out << QJsonDocument::fromJson(line, &error).object();
        if (error.error != QJsonParseError::NoError)
            qWarning() << "not JSON:" << line;
    }
    return out;
}

QByteArray tst_WhoAsked::curl(const QString &from, const QString &url, const QStringList &more)
{
    QProcess curl;
    curl.start(QStringLiteral("curl"), QStringList {"-sS", "--noproxy", "*", "--interface", from, "--max-time", "10", url} + more);
    // The agent answers from this process's event loop: wait turning it.
    if (!QTest::qWaitFor([&] { return curl.state() == QProcess::NotRunning; }, 15000))
        curl.kill();
    return curl.readAllStandardOutput() + curl.readAllStandardError();
}

void tst_WhoAsked::proxyHeaderGivesTheClient_data()
{
    QTest::addColumn<QString>("sendProxy"); // HAProxy's server option
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("trusted");
    QTest::newRow("v1_plain") << "send-proxy" << false << "127.0.0.1";
    QTest::newRow("v2_plain") << "send-proxy-v2" << false << "127.0.0.0/8, ::1";
    QTest::newRow("v1_tls") << "send-proxy" << true << "127.0.0.1";
    QTest::newRow("v2_tls") << "send-proxy-v2" << true << "127.0.0.1";
    QTest::newRow("v2_untrusted_refused") << "send-proxy-v2" << false << "10.0.0.0/8";
}

// A real HAProxy relays a client on 127.0.0.2 with a PROXY header: the audit
// names 127.0.0.2, not the proxy. From an address the agent does not trust,
// the header is refused: no answer, and counted.
void tst_WhoAsked::proxyHeaderGivesTheClient()
{
    QFETCH(QString, sendProxy);
    QFETCH(bool, tls);
    QFETCH(QString, trusted);
    if (!QFile::exists(HaproxyPath))
        QSKIP("haproxy is not installed (scripts/install-deps.sh installs it)");
    const bool refused = !trusted.startsWith("127.");
    SqliteAgent agent;
    const IniValues more {{"http/proxy_protocol", "true"}, {"https/proxy_protocol", "true"},
                          {"http/trusted_proxies", '"' + trusted + '"'}, {"https/port", QString::number(freePort())},
                          {"https/certificate", m_certificate.filePath("cert.pem")},
                          {"https/key", m_certificate.filePath("key.pem")}, {"admin/port", QString::number(freePort())},
                          {"log/audit", agent.work.filePath("audit.log")}};
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, "uid", more), QString());
    const quint16 front = freePort();
    Haproxy haproxy;
    QString error;
    QVERIFY2(haproxy.start("global\n" + haproxy.statsSocketLine()
                               + QStringLiteral("\ndefaults\n mode tcp\n timeout connect 2s\n timeout client 5s\n"
                                                " timeout server 5s\nlisten front\n bind 127.0.0.1:%1\n"
                                                " server agent 127.0.0.1:%2 %3\n")
                                     .arg(front)
                                     .arg(agent.port(tls ? "https/port" : "http/port"))
                                     .arg(sendProxy)
                                     .toUtf8(),
                           &error),
             qPrintable(error));
    const QByteArray answer = curl("127.0.0.2",
                                   QStringLiteral("%1://127.0.0.1:%2/t/check?username=alice&password=Zq9secret")
                                       .arg(tls ? "https" : "http")
                                       .arg(front),
                                   {"--cacert", m_certificate.filePath("cert.pem")});
    const QByteArray refusedCount = metricValue(agent.port("admin/port"), "tovr_merk_proxy_headers_refused_total");
    if (refused) {
        QVERIFY2(!answer.contains("exist"), answer.constData());
        QCOMPARE(refusedCount, QByteArray("1"));
        return;
    }
    QCOMPARE(answer, QByteArray("{\"rez\":\"exist\",\"userid\":\"u-17\"}\n"));
    QTRY_COMPARE(auditLines(agent.work.filePath("audit.log")).size(), 1);
    const QJsonObject line = auditLines(agent.work.filePath("audit.log")).first();
    QCOMPARE(line.value("client").toString(), QStringLiteral("127.0.0.2"));
    QCOMPARE(line.value("listener").toString(), QString(tls ? "https" : "http"));
    QCOMPARE(refusedCount, QByteArray("0"));
}

// The shipped filter finds exactly the not-found lines of an audit file a
// real agent wrote, whatever the user names try (tst_auditlog checks the
// hosts it finds); every line is JSON, and none holds the password.
void tst_WhoAsked::fail2banReadsTheNotFoundLines()
{
    if (QStandardPaths::findExecutable("fail2ban-regex").isEmpty()) {
        if (qEnvironmentVariableIsSet("CI"))
            QFAIL("fail2ban-regex is missing");
        QSKIP("fail2ban-regex is not installed (scripts/install-deps.sh installs it)");
    }
    SqliteAgent agent;
    const QString audit = agent.work.filePath("audit.log");
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, "uid", {{"log/audit", audit}}), QString());
    const QString url = QStringLiteral("http://127.0.0.1:%1/t/check").arg(agent.httpPort());
    const QStringList hostile {"alice", "m\",\"client\":\"1.2.3.4", "q\\\"\n\"verdict\":\"exist", "\u00fcber\x01"};
    for (const QString &user : hostile) {
        curl("127.0.0.1", url, {"--data-urlencode", "username=" + user, "--data-urlencode", "password=wrong"});
        curl("127.0.0.2", url + "?username=alice&password=Zq9secret");
    }
    QTRY_COMPARE(auditLines(audit).size(), 2 * hostile.size());
    for (const QJsonObject &line : auditLines(audit))
        QVERIFY(!line.contains("password") && !QJsonDocument(line).toJson().contains("wrong"));

    QProcess regex;
    regex.start("fail2ban-regex", {audit, QStringLiteral(AGENT_SOURCE_DIR "/dist/fail2ban/filter.d/tovr-merk.conf")});
    QVERIFY(regex.waitForFinished(60000));
    const QByteArray out = regex.readAllStandardOutput() + regex.readAllStandardError();
    QVERIFY2(out.contains(QByteArray("Lines: ") + QByteArray::number(2 * hostile.size()) + " lines, 0 ignored, "
                          + QByteArray::number(hostile.size()) + " matched"),
             out.constData());
}

// http/throttle_client=3: one address trying a new name each time waits once
// it has three not-found answers; another address is answered at once.
void tst_WhoAsked::oneAddressGuessingIsSlowedOthersAreNot()
{
    AgentLimits limits = shortLimits();
    limits.clientThrottle.firstDelayMs = 600;
    SqliteAgent agent;
    agent.limits = limits;
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, "uid", {{"http/throttle_client", "3"}}), QString());
    const QString base = QStringLiteral("http://127.0.0.1:%1/t/check?").arg(agent.httpPort());
    QElapsedTimer clock;
    for (int i = 0; i < 4; ++i) {
        clock.start();
        QVERIFY(curl("127.0.0.1", base + QStringLiteral("username=guess%1&password=x").arg(i)).contains("notfount"));
    }
    QVERIFY2(clock.elapsed() >= 600 * 95 / 100, qPrintable(QString::number(clock.elapsed()))); // the fourth waited
    clock.start();
    QVERIFY(curl("127.0.0.2", base + "username=alice&password=Zq9secret").contains("u-17"));
    QVERIFY2(clock.elapsed() < 600 * 95 / 100, qPrintable(QString::number(clock.elapsed())));
}

// http/address=127.0.0.1: 127.0.0.2, also on lo, reaches nothing there.
void tst_WhoAsked::listenerBindsOnlyItsAddress()
{
    SqliteAgent agent;
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, "uid", {{"http/address", "127.0.0.1"}}), QString());
    QCOMPARE(agent.inspect().httpServer()->serverAddress(), QHostAddress(QHostAddress::LocalHost));
    QVERIFY(curl("127.0.0.1", QStringLiteral("http://127.0.0.1:%1/t/check?username=alice&password=Zq9secret")
                                  .arg(agent.httpPort())).contains("u-17"));
    QVERIFY(!curl("127.0.0.2", QStringLiteral("http://127.0.0.2:%1/t/check?username=alice&password=Zq9secret")
                                   .arg(agent.httpPort())).contains("rez"));
}

QTEST_MAIN(tst_WhoAsked)
#include "tst_whoasked.moc"
