#include "support/agent.h"
#include "support/pgserver.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"

#include <QtTest>

#include <csignal>
#include <memory>

// sql/host listing two real servers (a PostgreSQL primary and its standby, two
// MariaDB servers): the real agent finds alice again within its bounds.
namespace {

const QByteArray Alice = checkRequest("alice", "Zq9secret");
enum class Fault { ShutDown, Killed, Hung, BothDownSecondBack, FirstBackSecondDown };

struct Pair
{
    std::unique_ptr<SqlServer> first, second;
    QString error;
};

// Made once per kind; the standby copies the primary's users table.
Pair &pair(Backend backend)
{
    static std::map<Backend, Pair> pairs;
    static const bool cleanedUp = (qAddPostRoutine([] { pairs.clear(); }), true);
    Q_UNUSED(cleanedUp)
    Pair &p = pairs[backend];
    if (p.first || !p.error.isEmpty())
        return p;
    const bool pg = backend == Backend::Postgres;
    if (pg && !(p.error = PgServer::unavailableReason()).isEmpty())
        return p;
    const auto make = [pg]() -> std::unique_ptr<SqlServer> {
        return pg ? std::unique_ptr<SqlServer>(new PgServer) : std::make_unique<ScriptedServer>(ScriptedServer::Kind::MariaDb);
    };
    std::unique_ptr<SqlServer> one = make(), two = make();
    if (one->setUp(&p.error) && serverSession(*one)->run(usersTable()).isEmpty()
        && (pg ? static_cast<PgServer &>(*two).setUpStandby(static_cast<PgServer &>(*one), &p.error)
               : two->setUp(&p.error) && serverSession(*two)->run(usersTable()).isEmpty()))
        p.first = std::move(one), p.second = std::move(two);
    return p;
}

// Both servers running and letting sessions in (a MariaDB restarted after
// a kill listens before it does), then the agent on the two as hosts lists them.
std::unique_ptr<AgentProcess> startOn(Pair &p, const SqlServer &a, const SqlServer &b, int pool, const char *target,
                                      Route route = Route::Native)
{
    for (SqlServer *server : {p.first.get(), p.second.get()}) {
        const auto *pg = dynamic_cast<PgServer *>(server);
        if (!(pg && pg->isRunning()))
            server->start();
        if (!QTest::qWaitFor([server] { return serverSession(*server)->run({"select 1"}) == QStringList{"1"}; }, 20000))
            QTest::qFail("the server lets no session in", __FILE__, __LINE__);
    }
    IniValues values = serverAgentSettings(*p.first, CheckStatement, "uid", route);
    values["sql/host"] = QString("127.0.0.1:%1,127.0.0.1:%2").arg(a.port()).arg(b.port());
    if (route == Route::OdbcString) // two connection strings, quoted: "DRIVER=…|DRIVER=…"
        values["sql/dsn"] = serverAgentSettings(a, CheckStatement, "uid", route)["sql/dsn"].chopped(1) + '|'
                            + serverAgentSettings(b, CheckStatement, "uid", route)["sql/dsn"].mid(1);
    values["sql/timeout"] = "2";
    values["sql/pool"] = QString::number(pool);
    values["sql/target"] = target;
    values["admin/port"] = QString::number(freePort());
    auto agent = std::make_unique<AgentProcess>(values);
    agent->start();
    return agent;
}

QByteArray admin(AgentProcess &agent, const QByteArray &path)
{
    return exchange(agent.port("admin/port"), "GET " + path + " HTTP/1.0\r\n\r\n");
}

} // namespace

class tst_Failover : public QObject
{
    Q_OBJECT

private slots:
    void foundAgainWithinBound_data();
    void foundAgainWithinBound();
    void targetPrimarySkipsStandby();
};

void tst_Failover::foundAgainWithinBound_data()
{
    QTest::addColumn<int>("backend");
    QTest::addColumn<int>("pool");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("boundMs"); // from the fault (both down: from the second's return)
    QTest::addColumn<int>("route");
    const int pg = int(Backend::Postgres), maria = int(Backend::MariaDb);
#define ROW(tag, backend, pool, fault, boundMs) QTest::newRow(tag) << backend << pool << int(fault) << boundMs << 0
    ROW("psql_shut_down_pool0",       pg,    0, Fault::ShutDown,           3000);
    ROW("psql_shut_down_pool2",       pg,    2, Fault::ShutDown,           3000);
    ROW("psql_rolling_restart",       pg,    0, Fault::FirstBackSecondDown, 3000);
    ROW("psql_hung_pool0",            pg,    0, Fault::Hung,               5000);
    ROW("psql_hung_pool2",            pg,    2, Fault::Hung,               5000);
    ROW("mariadb_killed_pool0",       maria, 0, Fault::Killed,             3000);
    ROW("mariadb_killed_pool2",       maria, 2, Fault::Killed,             3000);
    ROW("psql_both_down_second_back", pg,    0, Fault::BothDownSecondBack, 6000);
    QTest::newRow("odbc_psql_dsn_list_shut_down_pool2") << pg << 2 << int(Fault::ShutDown) << 3000 << int(Route::OdbcString);
#undef ROW
}

void tst_Failover::foundAgainWithinBound()
{
    QFETCH(int, backend);
    Pair &p = pair(Backend(backend));
    REQUIRE_HERE(p.error.isEmpty(), p.error);
    QFETCH(int, pool);
    QFETCH(int, fault);
    QFETCH(int, boundMs);
    QFETCH(int, route);
    const auto agent = startOn(p, *p.first, *p.second, pool, "any", Route(route));
    const quint16 port = agent->port("http/port");
    QTRY_COMPARE_WITH_TIMEOUT(exchange(port, Alice).toHex(), found("u-17").toHex(), 10000);

    QElapsedTimer since;
    since.start();
    std::unique_ptr<StoppedProcesses> stopped;
    if (Fault(fault) == Fault::Hung)
        stopped = std::make_unique<StoppedProcesses>(p.first->processes());
    else if (Fault(fault) == Fault::Killed)
        QCOMPARE(::kill(p.first->processes().value(0).toInt(), SIGKILL), 0);
    else
        QVERIFY(p.first->stop());
    if (Fault(fault) == Fault::BothDownSecondBack) {
        QVERIFY(p.second->stop());
        since.restart();
        const QByteArray answer = exchange(port, Alice);
        QVERIFY2(since.elapsed() <= 5000 && answer.contains("notfount"), answer.constData());
        QVERIFY(p.second->start());
        since.restart();
    }
    const bool rolling = Fault(fault) == Fault::FirstBackSecondDown;
    for (int round = 0; round <= int(rolling); ++round) {
        while (exchange(port, Alice) != found("u-17")) // the steady stream
            QVERIFY2(since.elapsed() < 3 * boundMs, "alice is not found again");
        QVERIFY2(since.elapsed() <= boundMs, qPrintable(QString::number(since.elapsed())));
        if (rolling && round == 0) { // the first back in the meantime, and skipped for a while, then the second down
            QVERIFY(p.first->start());
            QTRY_VERIFY_WITH_TIMEOUT(serverSession(*p.first)->run({"select 1"}) == QStringList {"1"}, 20000);
            QVERIFY(p.second->stop());
            since.restart();
        }
    }

    const QByteArray second = "127.0.0.1:" + QByteArray::number(p.second->port());
    const QByteArray serving = "127.0.0.1:" + QByteArray::number((rolling ? p.first : p.second)->port());
    QVERIFY(admin(*agent, "/ready").startsWith("HTTP/1.0 200"));
    const QByteArray metrics = admin(*agent, "/metrics");
    QVERIFY(metrics.contains("tovr_merk_db_server_up{server=\"" + serving + "\"} 1\n"));
    QVERIFY(metrics.contains("tovr_merk_db_failovers_total " + QByteArray::number(1 + int(rolling)) + '\n'));
    const QByteArray moved = "[e] database connections move from server 127.0.0.1:"
        + QByteArray::number(p.first->port()) + " to " + second + '\n';
    QTRY_VERIFY2_WITH_TIMEOUT(agent->standardError.contains(moved), agent->standardError.constData(), 2000);
    QVERIFY(!agent->standardError.contains(p.first->password().toLatin1()));
}

// The standby listed first answers a check, unless writes are wanted (through
// PostgreSQL's driver or ODBC); once promoted it is taken.
void tst_Failover::targetPrimarySkipsStandby()
{
    Pair &p = pair(Backend::Postgres);
    REQUIRE_HERE(p.error.isEmpty(), p.error);
    for (const Route route : {Route::Native, Route::OdbcString})
        for (const bool onPrimary : {true, false}) {
            const auto agent = startOn(p, *p.second, *p.first, 1, onPrimary ? "primary" : "any", route);
            QTRY_COMPARE_WITH_TIMEOUT(exchange(agent->port("http/port"), Alice).toHex(), found("u-17").toHex(), 10000);
            const QByteArray metrics = admin(*agent, "/metrics");
            for (const SqlServer *server : {p.second.get(), p.first.get()})
                QVERIFY(metrics.contains(QString("tovr_merk_db_server_up{server=\"127.0.0.1:%1\"} %2\n")
                                             .arg(server->port())
                                             .arg(int((server == p.first.get()) == onPrimary))
                                             .toLatin1()));
        }
    // The primary shut down and its standby promoted: the standby takes over.
    const auto agent = startOn(p, *p.first, *p.second, 1, "primary");
    QTRY_COMPARE_WITH_TIMEOUT(exchange(agent->port("http/port"), Alice).toHex(), found("u-17").toHex(), 10000);
    QString error;
    QVERIFY(p.first->stop(&error) && static_cast<PgServer &>(*p.second).promote(&error));
    QTRY_COMPARE_WITH_TIMEOUT(exchange(agent->port("http/port"), Alice).toHex(), found("u-17").toHex(), 10000);
}

QTEST_MAIN(tst_Failover)
#include "tst_failover.moc"
