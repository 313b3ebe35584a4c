#include "net/checkgate.h"
#include "net/throttle.h"
#include "net/wiretext.h"
#include "support/agent.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {

// Short enough for a test, far enough apart to tell apart.
Throttle::Limits shortThrottle(int failures)
{
    Throttle::Limits limits;
    limits.failures = failures;
    limits.windowMs = 400;
    limits.firstDelayMs = 40;
    limits.maxDelayMs = 160;
    return limits;
}

// Checks whose verdict the test gives, answered on the next pass of the
// event loop as a database would; records when each started and how many
// ran at once.
struct Checks
{
    explicit Checks(CheckThrottle &throttleUsed) : throttle(throttleUsed) { clock.start(); }

    // False when the throttle refused the check; it never runs then.
    bool submit(const QString &name, bool notFound)
    {
        const int index = startedAtMs.size();
        startedAtMs.append(-1);
        throttle.submit(name, [this, index, name, notFound](Throttle::Turn turn) {
            if (turn == Throttle::Turn::Refused) {
                startedAtMs[index] = Refused;
                return void(++done);
            }
            startedAtMs[index] = clock.elapsed();
            maxRunning = qMax(maxRunning, ++running);
            QTimer::singleShot(1, [this, name, turn, notFound] {
                --running;
                ++done;
                throttle.finished(name, notFound, turn);
            });
        });
        return startedAtMs[index] != Refused;
    }
    static constexpr qint64 Refused = -2;
    bool allDone(int timeoutMs = 5000) { return QTest::qWaitFor([&] { return done == startedAtMs.size(); }, timeoutMs); }

    CheckThrottle &throttle;
    QElapsedTimer clock;
    QVector<qint64> startedAtMs;
    int running = 0, maxRunning = 0, done = 0;
};

} // namespace

class tst_Throttle : public QObject
{
    Q_OBJECT

private slots:
    void delay_data();
    void delay();
    void throttledNameWaitsOneAtATimeOthersDoNot();
    void burstBeforeTheFirstAnswers_data();
    void burstBeforeTheFirstAnswers();
    void foundAnswerOrTheWindowClearsTheCount_data();
    void foundAnswerOrTheWindowClearsTheCount();
    void namesTrackedAreBounded();
    void turnedOffWhileChecksWaitRunsThemAll();
    void agentSlowsOnlyTheGuesser_data();
    void agentSlowsOnlyTheGuesser();
};

void tst_Throttle::delay_data()
{
    QTest::addColumn<int>("threshold");
    QTest::addColumn<int>("failures");
    QTest::addColumn<int>("expected");
    QTest::newRow("off") << 0 << 50 << 0;
    QTest::newRow("below") << 5 << 4 << 0;
    QTest::newRow("at_threshold_first_delay") << 5 << 5 << 1000;
    QTest::newRow("doubles") << 5 << 7 << 4000;
    QTest::newRow("capped") << 5 << 10 << 30000;
    QTest::newRow("far_beyond_no_overflow") << 1 << 100000 << 30000;
}

void tst_Throttle::delay()
{
    QFETCH(int, threshold);
    QFETCH(int, failures);
    QFETCH(int, expected);
    Throttle::Limits limits;
    limits.failures = threshold;
    QCOMPARE(Throttle::delayMs(failures, limits), expected);
}

// Past the threshold a name's checks wait, each at least its delay after the
// one before, never two at once; another name's check runs at once; the start
// is announced once.
void tst_Throttle::throttledNameWaitsOneAtATimeOthersDoNot()
{
    Throttle::Limits limits = shortThrottle(2);
    limits.maxWaitingPerName = 4;
    CheckThrottle throttle(limits);
    QStringList announced;
    connect(&throttle, &CheckThrottle::throttlingStarted, this,
            [&](const QString &name, int failures) { announced << name + '/' + QString::number(failures); });
    Checks checks(throttle);
    checks.submit("mallory", true);
    checks.submit("mallory", true);
    QVERIFY(checks.allDone());
    QCOMPARE(checks.startedAtMs.size(), 2); // below the threshold: at once
    QVERIFY(checks.startedAtMs[1] >= 0);

    checks.maxRunning = 0;
    const qint64 submittedAtMs = checks.clock.elapsed();
    for (int i = 0; i < 4; ++i)
        checks.submit("mallory", true);
    QCOMPARE(checks.startedAtMs.mid(2), QVector<qint64>(4, -1)); // all wait
    QVERIFY(!checks.submit("mallory", true));                     // a fifth has no room
    checks.submit("alice", false);
    QVERIFY(checks.startedAtMs.last() >= 0); // another name: at once
    QVERIFY(checks.allDone());
    QCOMPARE(checks.maxRunning, 1);
    QCOMPARE(checks.startedAtMs[6], Checks::Refused);
    QCOMPARE(throttle.counters().refused, quint64(1));
    // Each at least its delay (40, 80, 160, 160 ms) after the one before;
    // Qt's coarse timers may fire up to 5 % early.
    const QVector<int> delays{40, 80, 160, 160};
    qint64 previous = submittedAtMs;
    for (int i = 0; i < delays.size(); ++i) {
        const qint64 after = checks.startedAtMs[2 + i] - previous;
        QVERIFY2(after >= delays[i] * 95 / 100, qPrintable(QStringLiteral("check %1 after %2 ms").arg(i).arg(after)));
        previous = checks.startedAtMs[2 + i];
    }
    QCOMPARE(announced, QStringList{"mallory/2"});
    QCOMPARE(throttle.counters().delayed, quint64(4));
}

void tst_Throttle::burstBeforeTheFirstAnswers_data()
{
    QTest::addColumn<QString>("checks"); // user@address, all sent at once; one alone is sent six times, %1 counting
    QTest::addColumn<int>("atOnce");     // checks run before the first answer
    QTest::addColumn<int>("refused");
    QTest::addColumn<int>("found");      // a user whose name begins with "ok" is found
    QTest::newRow("one_name_guessed")    << "mallory@10.0.0.%1" << 2 << 1 << 0;
    QTest::newRow("one_address_guesses") << "g%1@10.0.0.1" << 3 << 0 << 0;
    QTest::newRow("right_passwords")     << "ok@10.0.0.1" << 2 << 0 << 6;
    QTest::newRow("address_holds_up_not_its_name") << "x1@10.0.0.1 x2@10.0.0.1 x3@10.0.0.1 bob@10.0.0.1 bob@10.0.0.2 bob@10.0.0.3"
                                                   << 5 << 0 << 0;
    QTest::newRow("name_counts_when_address_lets_go") << "ok1@10.0.0.1 ok2@10.0.0.1 ok3@10.0.0.1 " + QString("bob@10.0.0.1 ").repeated(6).trimmed()
                                                      << 3 << 1 << 3;
}

// Checks sent before any is answered, through both throttles (a name's threshold 2, an address's 3, at most 3
// waiting): no more of a name's or an address's run at once than could fail without reaching the threshold; the
// rest wait for answers, all run when those are found, and beyond the bound are refused when they are not. A
// check its address holds up does not hold up its name from elsewhere, nor pass its name's throttle by.
void tst_Throttle::burstBeforeTheFirstAnswers()
{
    QFETCH(QString, checks);
    struct Later : CheckGate::Checker
    {
        int started = 0, mostOfOneName = 0;
        QHash<QString, int> running;
        void check(const QString &user, const QString &, Answer done) override
        {
            ++started, mostOfOneName = qMax(mostOfOneName, ++running[user]);
            QTimer::singleShot(100, [=] { --running[user], done({user.startsWith("ok") ? "u-1" : Net::NoResult}); });
        }
    } checker;
    Throttle::Limits limits = shortThrottle(2);
    limits.maxWaitingPerName = 3;
    CheckGate gate(checker, limits);
    limits.failures = 3;
    gate.setClientThrottle(limits, {});
    QStringList sent;
    for (int i = 1; i <= (checks.contains(' ') ? 1 : 6); ++i)
        sent += QString(checks).replace("%1", QString::number(i)).split(' ');
    int found = 0, refused = 0, answered = 0;
    for (const QString &check : sent)
        gate.run(check.section('@', 0, 0), "x", {QHostAddress(check.section('@', 1)), "http", {}},
                 [&](const Http::Verdict &verdict, bool no) { ++answered, refused += no, found += verdict.result == "u-1"; });
    QTEST(checker.started, "atOnce");
    QTRY_COMPARE(answered, int(sent.size()));
    QTEST(refused, "refused");
    QTEST(found, "found");
    QVERIFY2(checker.mostOfOneName <= 2, qPrintable(QString::number(checker.mostOfOneName)));
}

void tst_Throttle::foundAnswerOrTheWindowClearsTheCount_data()
{
    QTest::addColumn<bool>("found");
    QTest::addColumn<int>("waitMs");
    QTest::newRow("found_answer") << true << 0;
    QTest::newRow("failures_aged_out") << false << 450; // the window is 400 ms
}

void tst_Throttle::foundAnswerOrTheWindowClearsTheCount()
{
    QFETCH(bool, found);
    QFETCH(int, waitMs);
    CheckThrottle throttle(shortThrottle(2));
    Checks checks(throttle);
    checks.submit("bob", true);
    checks.submit("bob", true);
    QVERIFY(checks.allDone());
    if (found) {
        checks.submit("bob", false); // throttled, then found
        QCOMPARE(checks.startedAtMs.last(), qint64(-1));
        QVERIFY(checks.allDone());
    }
    QTest::qWait(waitMs);
    checks.submit("bob", true);
    QVERIFY(checks.startedAtMs.last() >= 0); // at once again
    QVERIFY(checks.allDone());
}

// A reload may turn the throttle off while a name's checks wait: each still
// runs and answers, and is never left holding its connection, nor the name
// waiting for it when the throttle is on again.
void tst_Throttle::turnedOffWhileChecksWaitRunsThemAll()
{
    Throttle::Limits limits = shortThrottle(1);
    limits.firstDelayMs = limits.maxDelayMs = 60000;
    CheckThrottle throttle(limits);
    Checks checks(throttle);
    checks.submit("mallory", true);
    QTRY_COMPARE(checks.done, 1);
    for (int i = 0; i < 3; ++i)
        checks.submit("mallory", true); // each would wait a minute
    QCOMPARE(checks.done, 1);
    throttle.setLimits(Throttle::Limits());
    QVERIFY(checks.allDone(1000));
    limits.failures = 2; // on again, the one failure below it: at once
    throttle.setLimits(limits);
    checks.submit("mallory", true);
    QVERIFY(checks.startedAtMs.last() >= 0);
    QVERIFY(checks.allDone());
}

// The oldest name is forgotten first, so its count starts again.
void tst_Throttle::namesTrackedAreBounded()
{
    Throttle::Limits limits = shortThrottle(1);
    limits.maxNames = 3;
    CheckThrottle throttle(limits);
    Checks checks(throttle);
    for (const char *name : {"a", "b", "c", "d"}) { // one under way is not forgotten
        checks.submit(name, true);
        QVERIFY(checks.allDone());
    }
    QCOMPARE(throttle.namesTracked(), 3);
    QCOMPARE(throttle.counters().forgotten, quint64(1));
    checks.submit("d", true);
    QCOMPARE(checks.startedAtMs.last(), qint64(-1)); // remembered: waits
    checks.submit("a", true);
    QVERIFY(checks.startedAtMs.last() >= 0); // forgotten: at once
    QVERIFY(checks.allDone());
}

void tst_Throttle::agentSlowsOnlyTheGuesser_data()
{
    QTest::addColumn<IniValues>("settings");
    QTest::addColumn<QByteArray>("guessed"); // as the query has it; empty: a new name each time
    QTest::addColumn<QString>("line");       // said once, in the panel and the debug output; empty: never slowed
    QTest::newRow("per_user")   << IniValues {{"http/throttle", "2"}} << QByteArray("x%1Ay")
                                << "[i] checks for user x%1Ay now wait: 2 not-found answers within 2 s";
    QTest::newRow("per_client") << IniValues {{"http/throttle_client", "2"}} << QByteArray()
                                << "[i] checks from 127.0.0.1 now wait: 2 not-found answers within 2 s";
    QTest::newRow("exempt")     << IniValues {{"http/throttle_client", "2"}, {"http/throttle_exempt", "\"10.0.0.0/8, 127.0.0.0/30\""}}
                                << QByteArray() << "";
}

// Through the agent: with http/throttle, one name guessed again and again waits; with http/throttle_client,
// 127.0.0.1 guessing a new name each time does. The answers are the same bytes, another name from another
// address (127.0.0.2, on lo) is held by neither throttle, and the line is said once. An exempt address never
// waits.
void tst_Throttle::agentSlowsOnlyTheGuesser()
{
    QFETCH(IniValues, settings);
    QFETCH(QByteArray, guessed);
    QFETCH(QString, line);
    const int delayMs = 600, waited = delayMs * 95 / 100; // Qt's coarse timers may fire up to 5 % early
    MessageCapture messages;
    AgentLimits limits = shortLimits();
    for (Throttle::Limits *rules : {&limits.throttle, &limits.clientThrottle}) {
        *rules = shortThrottle(0);
        rules->windowMs = 2000; // the line names it in seconds
        rules->firstDelayMs = rules->maxDelayMs = delayMs;
    }
    Agent agent(limits);
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, "uid", settings), QString());
    const auto delayed = [&] {
        const HttpEndpoint &http = agent.inspect().http();
        return int(http.throttle().counters().delayed + http.clientThrottle().counters().delayed);
    };
    QElapsedTimer clock;
    for (int i = 0; i < 4; ++i) {
        clock.start();
        const QByteArray user = guessed.isEmpty() ? "guess" + QByteArray::number(i) : guessed;
        QCOMPARE(exchange(agent.httpPort(), checkRequest(user, "wrong")).toHex(), notFound().toHex());
    }
    QCOMPARE(delayed(), line.isEmpty() ? 0 : 2); // the third and the fourth
    QVERIFY2(line.isEmpty() || clock.elapsed() >= waited, qPrintable(QString::number(clock.elapsed())));
    const QString url = QString("http://127.0.0.1:%1/t/check?username=j%C3%BCrgen&password=j").arg(agent.httpPort());
    QVERIFY(curlFrom("127.0.0.2", url).contains("\"rez\":\"exist\""));
    QCOMPARE(delayed(), line.isEmpty() ? 0 : 2);
    QCOMPARE(exchange(agent.httpPort(), checkRequest("alice", "Zq9secret")).toHex(),
             found("u-17").toHex());
    QCOMPARE(messages.debug().filter("now wait"), line.isEmpty() ? QStringList() : QStringList {line});
    QCOMPARE(agent.inspect().panelLines().filter("now wait").size(), int(!line.isEmpty()));
}

QTEST_MAIN(tst_Throttle)
#include "tst_throttle.moc"
