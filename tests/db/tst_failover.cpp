#include "support/agent.h"
#include "support/pgserver.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"

#include <QtTest>

#include <csignal>
#include <memory>

// A list of servers in sql/host, against two real servers of each kind: a
// PostgreSQL primary with its streaming standby, two MariaDB servers. The
// real agent (sql/timeout=2) answers a steady stream of checks while the
// first server is shut down, killed or stopped, and alice must be found
// again within the bounds operators were promised.
namespace {

constexpr int TimeoutSeconds = 2;
const QByteArray Alice = checkRequest("alice", "Zq9secret");
enum class Fault { ShutDown, Killed, Hung, BothDownSecondBack };

struct Pair
{
    std::unique_ptr<SqlServer> first, second;
    QString error;
};

// Made once per kind: the standby copies the primary's users table.
Pair &pair(Backend backend)
{
    static std::map<Backend, Pair> pairs;
    static const bool cleanedUp = (qAddPostRoutine([] { pairs.clear(); }), true);
    Q_UNUSED(cleanedUp)
    Pair &p = pairs[backend];
    if (p.first || !p.error.isEmpty())
        return p;
    if (backend == Backend::Postgres) {
        if (!(p.error = PgServer::unavailableReason()).isEmpty())
            return p;
        auto primary = std::make_unique<PgServer>(), standby = std::make_unique<PgServer>();
        if (primary->setUp(&p.error) && serverSession(*primary)->run(usersTable()).size() >= 0
            && standby->setUpStandby(*primary, &p.error))
            p.first = std::move(primary), p.second = std::move(standby);
        return p;
    }
    auto one = std::make_unique<ScriptedServer>(ScriptedServer::Kind::MariaDb);
    auto two = std::make_unique<ScriptedServer>(ScriptedServer::Kind::MariaDb);
    if (one->setUp(&p.error) && two->setUp(&p.error)) {
        serverSession(*one)->run(usersTable());
        serverSession(*two)->run(usersTable());
        p.first = std::move(one), p.second = std::move(two);
    }
    return p;
}

QString listOf(const SqlServer &a, const SqlServer &b)
{
    return QStringLiteral("127.0.0.1:%1,127.0.0.1:%2").arg(a.port()).arg(b.port());
}

} // namespace

class tst_Failover : public QObject
{
    Q_OBJECT

private slots:
    void foundAgainWithinBound_data();
    void foundAgainWithinBound();
    void targetPrimarySkipsStandby_data();
    void targetPrimarySkipsStandby();

private:
    // Both servers of the pair running and letting sessions in.
    void ensureRunning(Pair &p);
    // The agent started on the list.
    std::unique_ptr<AgentProcess> startOn(Pair &p, const QString &hosts, int pool, const QString &target);
};

#define FETCH_PAIR(p)                                                                                  \
    QFETCH(int, backend);                                                                              \
    Pair &p = pair(Backend(backend));                                                                  \
    if (!p.error.isEmpty() && qEnvironmentVariableIsSet("CI"))                                         \
        QFAIL(qPrintable(p.error));                                                                    \
    if (!p.error.isEmpty())                                                                            \
        QSKIP(qPrintable(p.error));                                                                    \
    ensureRunning(p);                                                                                  \
    if (QTest::currentTestFailed())                                                                    \
        return;

void tst_Failover::ensureRunning(Pair &p)
{
    QString error;
    for (SqlServer *server : {p.first.get(), p.second.get()}) {
        const auto *pg = dynamic_cast<PgServer *>(server);
        QVERIFY2((pg && pg->isRunning()) || server->start(&error), qPrintable(error));
        // A server restarted after a kill may listen before it lets anyone in.
        QTRY_COMPARE_WITH_TIMEOUT(serverSession(*server)->run({QStringLiteral("select 1")}), QStringList {"1"}, 20000);
    }
}

std::unique_ptr<AgentProcess> tst_Failover::startOn(Pair &p, const QString &hosts, int pool, const QString &target)
{
    IniValues values = serverAgentSettings(*p.first, CheckStatement, QStringLiteral("uid"));
    values[QStringLiteral("sql/host")] = hosts;
    values[QStringLiteral("sql/timeout")] = QString::number(TimeoutSeconds);
    values[QStringLiteral("sql/pool")] = QString::number(pool);
    values[QStringLiteral("sql/target")] = target;
    values[QStringLiteral("admin/port")] = QString::number(freePort());
    auto agent = std::make_unique<AgentProcess>(values);
    if (!agent->start())
        qFatal("%s", qPrintable(agent->outcome()));
    return agent;
}

void tst_Failover::foundAgainWithinBound_data()
{
    QTest::addColumn<int>("backend");
    QTest::addColumn<int>("pool");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("boundMs"); // from the fault (both down: from the second's start)
    const int pg = int(Backend::Postgres), maria = int(Backend::MariaDb);
#define ROW(tag, backend, pool, fault, boundMs) QTest::newRow(tag) << backend << pool << int(fault) << boundMs
    ROW("psql_shut_down_pool0",       pg,    0, Fault::ShutDown,           3000);
    ROW("psql_shut_down_pool2",       pg,    2, Fault::ShutDown,           3000);
    ROW("psql_hung_pool2",            pg,    2, Fault::Hung,               5000);
    ROW("mariadb_killed_pool0",       maria, 0, Fault::Killed,             3000);
    ROW("mariadb_killed_pool2",       maria, 2, Fault::Killed,             3000);
    ROW("psql_both_down_second_back", pg,    0, Fault::BothDownSecondBack, 6000);
#undef ROW
}

void tst_Failover::foundAgainWithinBound()
{
    FETCH_PAIR(p);
    QFETCH(int, pool);
    QFETCH(int, fault);
    QFETCH(int, boundMs);
    const auto agent = startOn(p, listOf(*p.first, *p.second), pool, QStringLiteral("any"));
    const quint16 port = agent->port(QStringLiteral("http/port"));
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
    // The steady stream: one check after another until alice is found.
    while (exchange(port, Alice, 10000) != found("u-17"))
        QVERIFY2(since.elapsed() < 3 * boundMs, "alice is not found again");
    QVERIFY2(since.elapsed() <= boundMs, qPrintable(QString::number(since.elapsed())));

    const QString second = QStringLiteral("127.0.0.1:%1").arg(p.second->port());
    QVERIFY(exchange(agent->port(QStringLiteral("admin/port")), "GET /ready HTTP/1.0\r\n\r\n").startsWith("HTTP/1.0 200"));
    const QByteArray metrics = exchange(agent->port(QStringLiteral("admin/port")), "GET /metrics HTTP/1.0\r\n\r\n");
    QVERIFY2(metrics.contains("tovr_merk_db_server_up{server=\"" + second.toLatin1() + "\"} 1\n"), metrics.constData());
    QVERIFY2(metrics.contains("tovr_merk_db_failovers_total 1\n"), metrics.mid(metrics.indexOf("tovr_merk_db")).constData());
    const QByteArray moved = "[e] database connections move from server 127.0.0.1:" + QByteArray::number(p.first->port())
        + " to " + second.toLatin1();
    QTRY_VERIFY2_WITH_TIMEOUT(agent->standardError.contains(moved), agent->standardError.constData(), 2000);
    QVERIFY(!agent->standardError.contains(p.first->password().toLatin1()));
}

void tst_Failover::targetPrimarySkipsStandby_data()
{
    QTest::addColumn<int>("backend");
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("up"); // which of standby (0) and primary (1) connections opened on
    QTest::newRow("primary_skips_standby") << int(Backend::Postgres) << "primary" << 1;
    QTest::newRow("any_takes_standby") << int(Backend::Postgres) << "any" << 0;
}

// The standby listed first: a check answers from it, unless writes are wanted.
void tst_Failover::targetPrimarySkipsStandby()
{
    FETCH_PAIR(p);
    QFETCH(QString, target);
    QFETCH(int, up);
    const auto agent = startOn(p, listOf(*p.second, *p.first), 1, target);
    QTRY_COMPARE_WITH_TIMEOUT(exchange(agent->port(QStringLiteral("http/port")), Alice).toHex(), found("u-17").toHex(), 10000);
    const QByteArray metrics = exchange(agent->port(QStringLiteral("admin/port")), "GET /metrics HTTP/1.0\r\n\r\n");
    for (const SqlServer *server : {p.second.get(), p.first.get()}) {
        const QByteArray sample = QStringLiteral("tovr_merk_db_server_up{server=\"127.0.0.1:%1\"} %2\n")
                                      .arg(server->port())
                                      .arg(int((server == p.first.get()) == bool(up)))
                                      .toLatin1();
        QVERIFY2(metrics.contains(sample), sample.constData());
    }
}

QTEST_MAIN(tst_Failover)
#include "tst_failover.moc"
