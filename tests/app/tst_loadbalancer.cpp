#include "support/agent.h"
#include "support/haproxy.h"
#include "support/pgserver.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"


#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

#include <csignal>

// Two agent processes on one PostgreSQL behind a real HAProxy, configured by
// dist/haproxy.cfg with the test's ports and short check intervals: checks are
// spread over both, and once one agent stops and HAProxy's checks of its
// /ready have had time to notice, every check is still answered.

namespace {

// Short health-check intervals, so the stopped agent leaves rotation soon.
constexpr int InterMs = 200;
constexpr int Fall = 2;
constexpr int Rise = 1;

constexpr int ChecksBefore = 20;
constexpr int ChecksAfter = 50;

// The example with the lines whose first words are one of the keys replaced:
// the first such line by that key's lines, later ones dropped. Keys matching
// no line are added to *missing, so a change of the example's shape fails
// the test rather than silently running something else.
using ConfigLines = QVector<QPair<QByteArray, QByteArrayList>>;
QByteArray withConfigLines(const QByteArray &config, const ConfigLines &replacements, QByteArrayList *missing)
{
    QByteArrayList out;
    QSet<QByteArray> used;
    for (const QByteArray &line : config.split('\n')) {
        const QByteArrayList words = line.simplified().split(' ');
        auto match = std::find_if(replacements.cbegin(), replacements.cend(), [&](const auto &r) {
            const QByteArrayList keyWords = r.first.split(' ');
            return words.mid(0, keyWords.size()) == keyWords;
        });
        if (match == replacements.cend()) {
            out << line;
            continue;
        }
        if (used.contains(match->first))
            continue;
        used.insert(match->first);
        const QByteArray indent = line.left(line.indexOf(words.first()));
        for (const QByteArray &replacement : match->second)
            out << indent + replacement;
    }
    for (const auto &r : replacements)
        if (!used.contains(r.first))
            *missing << r.first;
    return out.join('\n');
}

// The found checks an agent counted, from its /metrics; -1 when unreadable.
int foundChecks(const AgentProcess &agent)
{
    const QByteArray value
        = metricValue(agent.port(QStringLiteral("admin/port")), "tovr_merk_checks_total{verdict=\"found\"}", 2000);
    return value.isEmpty() ? -1 : value.toInt();
}

} // namespace

class tst_LoadBalancer : public QObject
{
    Q_OBJECT

private slots:
    void stoppedAgentLeavesRotationWithoutFailedChecks();
};

void tst_LoadBalancer::stoppedAgentLeavesRotationWithoutFailedChecks()
{
    REQUIRE_HERE(QFile::exists(HaproxyPath), QStringLiteral("HAProxy is missing (Debian's haproxy)"));
    const QString pgUnavailable = PgServer::unavailableReason();
    REQUIRE_HERE(pgUnavailable.isEmpty(), pgUnavailable);
    QElapsedTimer total;
    total.start();

    PgServer pg;
    QString error;
    QVERIFY2(pg.setUp(&error), qPrintable(error));
    QVERIFY2(pg.run(usersTable(), &error), qPrintable(error));

    std::vector<std::unique_ptr<AgentProcess>> agents;
    for (int i = 0; i < 2; ++i) {
        IniValues values = serverAgentSettings(pg, CheckStatement, QStringLiteral("uid"));
        values[QStringLiteral("admin/port")] = QString::number(freePort());
        values[QStringLiteral("admin/address")] = QStringLiteral("127.0.0.1");
        agents.push_back(std::make_unique<AgentProcess>(values));
        QVERIFY2(agents.back()->start(), qPrintable(agents.back()->outcome()));
    }
    AgentProcess &kept = *agents[0];
    AgentProcess &stopped = *agents[1];

    Haproxy haproxy;
    const quint16 front = freePort();
    auto serverLine = [](const char *name, const AgentProcess &agent) {
        return QByteArray("server ") + name + " 127.0.0.1:" + QByteArray::number(agent.port(QStringLiteral("http/port")))
               + " check port " + QByteArray::number(agent.port(QStringLiteral("admin/port")));
    };
    QByteArrayList missing;
    const QByteArray config = withConfigLines(
        sourceFile(QStringLiteral("dist/haproxy.cfg")),
        {{"stats socket", {haproxy.statsSocketLine()}},
         {"bind", {"bind 127.0.0.1:" + QByteArray::number(front)}},
         {"default-server",
          {QStringLiteral("default-server inter %1ms fall %2 rise %3").arg(InterMs).arg(Fall).arg(Rise).toUtf8()}},
         {"server", {serverLine("agent1", kept), serverLine("agent2", stopped)}}},
        &missing);
    QVERIFY2(missing.isEmpty(), "dist/haproxy.cfg has no line for: " + missing.join(", "));
    QVERIFY2(haproxy.start(config, &error), qPrintable(error));

    // Both in rotation: each one's /ready answered 200 at its last check.
    auto inRotation = [&](const char *server) {
        const auto row = haproxy.stat().value(QByteArray("agents/") + server);
        return row.value("status") == "UP" && row.value("check_status") == "L7OK";
    };
    QTRY_VERIFY_WITH_TIMEOUT(inRotation("agent1") && inRotation("agent2"), 10000);

    const QByteArray request = checkRequest("alice", "Zq9secret");
    const QByteArray exist = found("u-17");
    for (int i = 0; i < ChecksBefore; ++i)
        QCOMPARE(exchange(front, request, 2000), exist);
    // Round robin: both answered, and between them every check once.
    const int keptBefore = foundChecks(kept);
    const int stoppedBefore = foundChecks(stopped);
    QVERIFY2(keptBefore > 0 && stoppedBefore > 0,
             qPrintable(QStringLiteral("agent1 %1, agent2 %2").arg(keptBefore).arg(stoppedBefore)));
    QCOMPARE(keptBefore + stoppedBefore, ChecksBefore);

    // Checks go on from the stop until HAProxy's checks of /ready have taken
    // the agent out of rotation; those may fail, and are counted, not asserted.
    QElapsedTimer sinceStop;
    sinceStop.start();
    QVERIFY2(stopped.signalEndsCleanly(SIGTERM, 5000), qPrintable(stopped.outcome()));
    const qint64 exitMs = sinceStop.elapsed();
    int checksBetween = 0;
    int errorsBetween = 0;
    const bool left = QTest::qWaitFor([&] {
        ++checksBetween;
        if (exchange(front, request, 2000) != exist)
            ++errorsBetween;
        return haproxy.stat().value("agents/agent2").value("status") == "DOWN";
    }, 10000);
    const qint64 leftRotationMs = sinceStop.elapsed();
    QVERIFY2(left, haproxy.stat().value("agents/agent2").value("check_status"));

    int errorsAfter = 0;
    for (int i = 0; i < ChecksAfter; ++i)
        if (exchange(front, request, 2000) != exist)
            ++errorsAfter;
    const int keptAfter = foundChecks(kept);
    const auto backend = haproxy.stat().value("agents/BACKEND");

    qInfo().noquote() << QStringLiteral("loadbalancer: agents=2 inter=%1ms fall=%2 rise=%3 checks_before=%4 "
                                        "(agent1 %5, agent2 %6) after_sigterm: exit=%7ms out_of_rotation=%8ms "
                                        "checks_in_between=%9 errors_in_between=%10 checks_after=%11 errors_after=%12 "
                                        "retries=%13 redispatches=%14 in %15s")
                             .arg(InterMs).arg(Fall).arg(Rise).arg(ChecksBefore).arg(keptBefore).arg(stoppedBefore)
                             .arg(exitMs).arg(leftRotationMs).arg(checksBetween).arg(errorsBetween)
                             .arg(ChecksAfter).arg(errorsAfter)
                             .arg(QString::fromUtf8(backend.value("wretr")), QString::fromUtf8(backend.value("wredis")))
                             .arg(total.elapsed() / 1000.0, 0, 'f', 1);
    QCOMPARE(errorsAfter, 0);
    // Every answer after the stop came from the agent that was kept.
    QCOMPARE(keptAfter - keptBefore, checksBetween - errorsBetween + ChecksAfter);
}

QTEST_GUILESS_MAIN(tst_LoadBalancer)
#include "tst_loadbalancer.moc"
