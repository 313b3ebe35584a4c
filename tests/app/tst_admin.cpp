#include "support/agent.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"

#include <QtTest>

// The admin endpoint through real requests: health, readiness and the counters
// of the checks that came before.
class tst_Admin : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
};

void tst_Admin::answers_data()
{
    QTest::addColumn<bool>("databaseThere");
    QTest::addColumn<QVector<QByteArray>>("checks");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArrayList>("bodyHas");
    const QVector<QByteArray> none;
    QTest::newRow("live") << true << none << QByteArray("GET /live HTTP/1.0\r\n\r\n") << QByteArray("HTTP/1.0 200 OK")
                          << QByteArrayList{"{\"live\":true}\n"};
    QTest::newRow("ready") << true << none << QByteArray("GET /ready HTTP/1.1\r\nHost: a\r\n\r\n")
                           << QByteArray("HTTP/1.0 200 OK") << QByteArrayList{"{\"ready\":true}\n"};
    QTest::newRow("ready_without_database")
        << false << none << QByteArray("GET /ready HTTP/1.0\r\n\r\n") << QByteArray("HTTP/1.0 503 Service Unavailable")
        << QByteArrayList{"{\"ready\":false,\"not_ready\":\"database\"}\n"};
    QTest::newRow("metrics_count_the_checks")
        << true
        << QVector<QByteArray>{checkRequest("alice", "Zq9secret"), checkRequest("alice", "wrong"), "GET /x HTTP/1.0\r\n"}
        << QByteArray("GET /metrics HTTP/1.0\r\n\r\n") << QByteArray("HTTP/1.0 200 OK")
        << QByteArrayList{"Content-Type: text/plain; version=0.0.4",
                          "tovr_merk_checks_total{verdict=\"found\"} 1\n",
                          "tovr_merk_checks_total{verdict=\"not_found\"} 2\n",
                          "tovr_merk_check_duration_seconds_count 2\n",
                          "tovr_merk_check_duration_seconds_bucket{le=\"+Inf\"} 2\n",
                          "tovr_merk_http_connections_accepted_total 3\n",
                          "tovr_merk_statements_total 2\n",
                          "tovr_merk_build_info{version=\"3.0\"} 1\n"};
    QTest::newRow("metrics_name_servers_escaped")
        << false << none << QByteArray("GET /metrics HTTP/1.0\r\n\r\n") << QByteArray("HTTP/1.0 200 OK")
        << QByteArrayList{"tovr_merk_db_server_up{server=\"/no/a\\\"b\\\\c:5432\"} 0\n",
                          "tovr_merk_db_server_up{server=\"/no/d:5432\"} 0\n"};
    QTest::newRow("other_path") << true << none << QByteArray("GET /admin HTTP/1.0\r\n\r\n")
                                << QByteArray("HTTP/1.0 404 Not Found") << QByteArrayList{};
    QTest::newRow("other_method") << true << none << QByteArray("POST /live HTTP/1.0\r\n\r\n")
                                  << QByteArray("HTTP/1.0 404 Not Found") << QByteArrayList{};
}

void tst_Admin::answers()
{
    QFETCH(bool, databaseThere);
    QFETCH(QVector<QByteArray>, checks);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    QFETCH(QByteArrayList, bodyHas);
    MessageCapture quiet;
    Agent agent;
    const IniValues admin{{QStringLiteral("admin/port"), QString::number(freePort())}};
    if (databaseThere) {
        QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, QStringLiteral("uid"), admin), QString());
    } else {
        // Two PostgreSQL servers whose socket directories do not exist; the
        // INI's value is /no/a"b\c,/no/d.
        IniValues values = sqliteAgentSettings(QString(), CheckStatement, QStringLiteral("uid"));
        values.insert(admin);
        values[QStringLiteral("sql/type")] = QStringLiteral("QPSQL");
        values[QStringLiteral("sql/port")] = QStringLiteral("5432");
        values[QStringLiteral("sql/host")] = QStringLiteral("\"/no/a\\\"b\\\\c,/no/d\"");
        agent.start(values);
    }
    for (const QByteArray &check : checks)
        QVERIFY(exchange(agent.httpPort(), check).startsWith("HTTP/1.0 200 Ok"));

    const QByteArray answer = exchange(agent.port(QStringLiteral("admin/port")), request);
    QVERIFY2(answer.startsWith(status + "\r\n"), answer.constData());
    const int body = answer.indexOf("\r\n\r\n") + 4;
    QVERIFY(answer.contains("\r\nContent-Length: " + QByteArray::number(answer.size() - body) + "\r\n"));
    for (const QByteArray &part : bodyHas)
        QVERIFY2(answer.contains(part), qPrintable(QString::fromUtf8(part + "\nnot in\n" + answer)));
}

QTEST_MAIN(tst_Admin)
#include "tst_admin.moc"
