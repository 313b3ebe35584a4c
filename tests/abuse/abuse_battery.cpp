// The fault and abuse battery: the real Server in this process, loopback
// clients only, each part bounded in count and time. Every part prints one
// line of figures and fails when the agent did not hold up.
//
// ABUSE_MODE=short (what CI runs) lowers the counts; ABUSE_SEED fixes the
// random requests of the garbage part.

#include "net/httprequest.h"
#include "net/lookup.h"
#include "support/agent.h"
#include "support/pgserver.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cstdio>
#include <list>

#include <sys/resource.h>

namespace {

// The idle part's request time-out: long enough for its checks to be answered
// while the idle connections are held, short of the program's 10 s.
constexpr int IdleTimeoutMs = 3000;
// The database part starts a check this often; an answer is noticed on the next tick.
constexpr int LoadTickMs = 20;

// What the users table holds: user + '\n' + password -> identifier.
QString knownIdentifier(const QString &user, const QString &password)
{
    if (user == QLatin1String("alice") && password == QLatin1String("Zq9secret"))
        return QStringLiteral("u-17");
    if (user == QString::fromUtf8("j\xc3\xbcrgen") && password == QLatin1String("j"))
        return QString::fromUtf8("u-\xc3\xa4");
    return QStringLiteral("none");
}

const QByteArray ValidCheck = checkRequest("alice", "Zq9secret");

// The answer the agent owes these bytes, from the request rules and the table.
QByteArray owedAnswer(const QByteArray &request)
{
    const Http::CheckRequest r = Http::readCheckRequest(request);
    if (!r.hasGet || !r.matched)
        return Http::notFoundResponse();
    return Http::checkResponse(knownIdentifier(r.userName, r.password));
}

bool fullMode()
{
    return qgetenv("ABUSE_MODE") != "short";
}

void figures(const QString &line)
{
    std::printf("abuse %s\n", qPrintable(line));
    std::fflush(stdout);
}

QString seconds(const QElapsedTimer &clock)
{
    return QString::number(clock.elapsed() / 1000.0, 'f', 1) + QLatin1Char('s');
}

} // namespace

class AbuseBattery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void idleConnectionsTimedOutWhileChecksAnswered();
    void listenersAcceptAgainAfterDescriptorsRunOut();
    void garbageRequestsGetTheirOwedAnswer();
    void databaseRestartsUnderLoad();
    void lookupClientsServedInArrivalOrder();
};

void AbuseBattery::initTestCase()
{
    // Hundreds of connections, both ends in this process.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 4096 && limit.rlim_max > limit.rlim_cur) {
        limit.rlim_cur = qMin<rlim_t>(limit.rlim_max, 4096);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    figures(QStringLiteral("mode: %1").arg(fullMode() ? "full" : "short"));
}

void AbuseBattery::idleConnectionsTimedOutWhileChecksAnswered()
{
    const int idleCount = 500;
    const int checkCount = fullMode() ? 200 : 100;
    MessageCapture quiet;
    AgentLimits limits = shortLimits();
    limits.http.requestTimeoutMs = IdleTimeoutMs;
    Agent agent(limits);
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, "uid"), QString());
    QElapsedTimer clock;
    clock.start();

    // In small groups, so the agent accepts each group before the listen
    // queue fills; an overflowing queue only delays connections in the kernel.
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < idleCount; ++i) {
        idle.push_back(std::make_unique<Client>(agent.httpPort()));
        if (i % 20 == 19)
            QTest::qWait(10);
    }
    QTRY_VERIFY(std::all_of(idle.cbegin(), idle.cend(), [](const auto &c) { return c->connectedOrClosed(); }));

    const QVector<QByteArray> answers =
        answersTo(agent.httpPort(), QVector<QByteArray>(checkCount, ValidCheck), 10, 5000);
    int answered = 0;
    for (const QByteArray &a : answers)
        answered += a == Http::checkResponse("u-17") ? 1 : 0;
    const qint64 checksDoneMs = clock.elapsed();
    const int closedEarly = closedCount(idle);

    const int budget = IdleTimeoutMs + 8000;
    QElapsedTimer wait;
    wait.start();
    while (closedCount(idle) < idleCount && wait.elapsed() < budget)
        QTest::qWait(20);
    qint64 firstClose = -1, lastClose = -1;
    int closedWithData = 0;
    for (const auto &c : idle) {
        if (!c->closed)
            continue;
        firstClose = firstClose < 0 ? c->closedAfterMs : qMin(firstClose, c->closedAfterMs);
        lastClose = qMax(lastClose, c->closedAfterMs);
        closedWithData += c->received.isEmpty() ? 0 : 1;
    }
    figures(QStringLiteral("idle: held=%1 checks=%2 answered=%3 (in %4 ms) idle_closed=%5/%1 "
                           "closed_before_checks_done=%6 close_after=%7..%8 ms in %9")
                .arg(idleCount).arg(checkCount).arg(answered).arg(checksDoneMs).arg(closedCount(idle))
                .arg(closedEarly).arg(firstClose).arg(lastClose).arg(seconds(clock)));
    QCOMPARE(answered, checkCount);
    QCOMPARE(closedEarly, 0);
    QCOMPARE(closedCount(idle), idleCount);
    QCOMPARE(closedWithData, 0); // nothing sent, nothing answered
    QVERIFY(firstClose >= IdleTimeoutMs * 9 / 10); // coarse timers may fire up to 5% early
}

void AbuseBattery::listenersAcceptAgainAfterDescriptorsRunOut()
{
    MessageCapture quiet;
    Agent agent;
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, "uid"), QString());
    const ServerInspector s = agent.inspect();
    QSignalSpy httpErrors(s.httpServer(), &QTcpServer::acceptError);
    QSignalSpy apibErrors(s.tcpServer(), &QTcpServer::acceptError);
    QElapsedTimer clock;
    clock.start();

    DescriptorLimit limit;
    const int headroom = 200;
    const rlim_t lowered = rlim_t(lowestFreeDescriptor() + headroom);
    QVERIFY(limit.setTo(lowered));

    // Alternate between the two ports until a client cannot get a descriptor.
    std::vector<std::unique_ptr<Client>> hogs;
    bool exhausted = false;
    const int maxClients = headroom * 2;
    while (!exhausted && int(hogs.size()) < maxClients) {
        const bool http = hogs.size() % 2 == 0;
        hogs.push_back(std::make_unique<Client>(http ? agent.httpPort() : agent.lookupPort()));
        QCoreApplication::processEvents();
        exhausted = hogs.back()->socket.error() == QAbstractSocket::SocketResourceError;
    }
    QTest::qWait(100);
    const int opened = int(hogs.size());

    hogs.clear();
    limit.restore();
    QTest::qWait(100);
    agent.boxes.boxes.clear();

    Client check(agent.httpPort(), ValidCheck);
    Client lookup(agent.lookupPort(), "42");
    QTRY_VERIFY_WITH_TIMEOUT(check.closed && lookup.closed, 10000);
    figures(QStringLiteral("descriptors: limit=%1 clients_opened=%2 exhausted=%3 accept_errors=http:%4,apib:%5 "
                           "after_restore=http:%6,apib:%7 in %8")
                .arg(quint64(lowered)).arg(opened).arg(exhausted ? "yes" : "no")
                .arg(httpErrors.count()).arg(apibErrors.count())
                .arg(check.received == Http::checkResponse("u-17") ? "answered" : "WRONG")
                .arg(lookup.received == Lookup::encodeReply("none") ? "answered" : "WRONG")
                .arg(seconds(clock)));
    QVERIFY(exhausted);
    QCOMPARE(check.received.toHex(), Http::checkResponse("u-17").toHex());
    QCOMPARE(lookup.received.toHex(), Lookup::encodeReply("none").toHex());
}

void AbuseBattery::garbageRequestsGetTheirOwedAnswer()
{
    const int randomCount = fullMode() ? 1000 : 200;
    quint32 seed = QRandomGenerator::global()->generate();
    if (!qEnvironmentVariableIsEmpty("ABUSE_SEED"))
        seed = qgetenv("ABUSE_SEED").toUInt();
    QRandomGenerator random(seed);

    MessageCapture quiet;
    Agent agent;
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, "uid"), QString());
    QElapsedTimer clock;
    clock.start();

    // Ten megabytes and no line feed: refused once over the limit.
    Client flood(agent.httpPort(), "GET /t/check?username=alice&password=Zq9secret HTTP/1.1"
                                       + QByteArray(10 * 1024 * 1024, 'x'));
    QTRY_VERIFY_WITH_TIMEOUT(flood.closed, 10000);
    const qint64 floodMs = flood.closedAfterMs;
    QCOMPARE(flood.received.toHex(), Http::notFoundResponse().toHex());

    QVector<QByteArray> crafted{
        QByteArray("GET /t/check?username=alice&password=Zq9secret\0 HTTP/1.1\r\n\r\n", 61),
        QByteArray("GET /t/check?username=al\0ice&password=Zq9secret HTTP/1.1\r\n\r\n", 61),
        QByteArray("\0GET /t/check?username=alice&password=Zq9secret HTTP/1.1\r\n", 58),
        QByteArray("GET /t/check?username=alice&password=Zq9secret HTTP/1.1\r\n\0\0\0\r\n", 61),
        checkRequest("\xff\xfe", "Zq9secret"),
        checkRequest("alice", "\xc3\x28"),
        checkRequest("j\xfcrgen", "j"),
        checkRequest("\xed\xa0\x80", "x"),
        checkRequest("%zz", "Zq9secret"),
        checkRequest("alice", "%4"),
        checkRequest("%", "%"),
        checkRequest("%61lice", "Zq9secret"),
        checkRequest("alice", "Zq9secre%74"),
        checkRequest("j%C3%BCrgen", "j"),
        checkRequest("j%FCrgen", "j"),
        checkRequest("%00alice", "Zq9secret"),
        ValidCheck,
    };
    const QVector<QByteArray> craftedAnswers = answersTo(agent.httpPort(), crafted, 20, 15000);
    int craftedOk = 0, craftedFound = 0;
    for (int i = 0; i < crafted.size(); ++i) {
        const QByteArray owed = owedAnswer(crafted[i]);
        if (craftedAnswers[i] == owed)
            ++craftedOk;
        else
            qWarning() << "crafted" << crafted[i].toHex() << "got" << craftedAnswers[i] << "owed" << owed;
        craftedFound += owed != Http::notFoundResponse() && owed != Http::checkResponse("none") ? 1 : 0;
    }

    // Random bytes, each ended by a line feed so it is judged at once.
    QVector<QByteArray> randomRequests;
    for (int i = 0; i < randomCount; ++i) {
        QByteArray bytes(int(random.bounded(1, 600)), Qt::Uninitialized);
        for (char &c : bytes)
            c = char(random.bounded(256));
        if (i % 4 == 0) // some that look like a check at first
            bytes.prepend("GET /t/check?username=");
        randomRequests << bytes + "\r\n";
    }
    const QVector<QByteArray> randomAnswers = answersTo(agent.httpPort(), randomRequests, 50, 15000);
    int randomOk = 0;
    for (int i = 0; i < randomRequests.size(); ++i) {
        if (randomAnswers[i] == owedAnswer(randomRequests[i]))
            ++randomOk;
        else
            qWarning() << "random" << i << randomRequests[i].toHex() << "got" << randomAnswers[i];
    }

    Client after(agent.httpPort(), ValidCheck);
    QTRY_VERIFY(after.closed);
    const bool stillServes = after.received == Http::checkResponse("u-17");
    figures(QStringLiteral("garbage: seed=%1 flood=10MB answered_not_found_in=%2ms crafted=%3/%4 (found %5) "
                           "random=%6/%7 valid_after=%8 in %9")
                .arg(seed).arg(floodMs).arg(craftedOk).arg(crafted.size()).arg(craftedFound)
                .arg(randomOk).arg(randomCount).arg(stillServes ? "answered" : "WRONG").arg(seconds(clock)));
    QCOMPARE(craftedOk, crafted.size());
    QCOMPARE(randomOk, randomCount);
    QVERIFY(stillServes);
}

void AbuseBattery::databaseRestartsUnderLoad()
{
    const QString reason = PgServer::unavailableReason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    PgServer pg;
    QString error;
    QVERIFY2(pg.setUp(&error), qPrintable(error));
    QVERIFY2(pg.run(UsersSchema, &error), qPrintable(error));

    MessageCapture quiet;
    Agent agent;
    agent.start(postgresAgentSettings(pg, CheckQuery, QStringLiteral("user_id")));
    const quint16 port = agent.httpPort();
    const int reopenIntervalMs = agent.limits.database.reopenIntervalMs;
    const QByteArray request = checkRequest("alice", "wonderland");
    const QByteArray exist = Http::checkResponse("1");
    const QByteArray notfount = Http::checkResponse("none");

    // A steady load: a new check every 20 ms, whatever the database does.
    struct Answer { qint64 sentMs; qint64 answeredMs; QByteArray bytes; };
    QVector<Answer> answers;
    std::list<std::unique_ptr<Client>> inFlight;
    QElapsedTimer clock;
    clock.start();
    QTimer load;
    load.setInterval(LoadTickMs);
    connect(&load, &QTimer::timeout, this, [&] {
        for (auto it = inFlight.begin(); it != inFlight.end();) {
            if ((*it)->closed) {
                answers.push_back({0, clock.elapsed(), (*it)->received});
                it = inFlight.erase(it);
            } else {
                ++it;
            }
        }
        inFlight.push_back(std::make_unique<Client>(port, request));
    });
    load.start();

    auto answersSince = [&](int from, const QByteArray &wanted) {
        int n = 0;
        for (int i = from; i < answers.size(); ++i)
            n += answers[i].bytes == wanted ? 1 : 0;
        return n;
    };
    QTRY_VERIFY_WITH_TIMEOUT(answersSince(0, exist) >= 5, 10000);

    QStringList recoveries;
    int outageNotfount = 0;
    bool recoveredInTime = true;
    for (int round = 0; round < 2; ++round) {
        QVERIFY2(pg.stop(&error), qPrintable(error));
        const int stoppedAt = answers.size();
        QTRY_VERIFY_WITH_TIMEOUT(answersSince(stoppedAt, notfount) >= 10, 10000);
        outageNotfount += answersSince(stoppedAt, notfount);
        QVERIFY2(pg.start(&error), qPrintable(error));
        const qint64 startedMs = clock.elapsed();
        const int startedAt = answers.size();
        QTRY_VERIFY_WITH_TIMEOUT(answersSince(startedAt, exist) >= 1, 15000);
        qint64 recoveredMs = -1;
        for (int i = startedAt; i < answers.size() && recoveredMs < 0; ++i)
            if (answers[i].bytes == exist)
                recoveredMs = answers[i].answeredMs - startedMs;
        recoveries << QString::number(recoveredMs) + "ms";
        recoveredInTime = recoveredInTime && recoveredMs <= reopenIntervalMs + LoadTickMs;
        QTest::qWait(300);
    }
    load.stop();
    QTRY_VERIFY_WITH_TIMEOUT(allClosed(inFlight), 10000);
    for (const auto &c : inFlight)
        answers.push_back({0, clock.elapsed(), c->received});
    int other = 0;
    for (const Answer &a : answers)
        other += a.bytes != exist && a.bytes != notfount ? 1 : 0;
    figures(QStringLiteral("postgres: restarts=2 checks=%1 exist=%2 notfount=%3 (outage %4) other=%5 "
                           "recovery_after_start=%6 in %7")
                .arg(answers.size()).arg(answersSince(0, exist)).arg(answersSince(0, notfount))
                .arg(outageNotfount).arg(other).arg(recoveries.join(',')).arg(seconds(clock)));
    QCOMPARE(other, 0);
    QVERIFY2(recoveredInTime, qPrintable(recoveries.join(',')));
}

void AbuseBattery::lookupClientsServedInArrivalOrder()
{
    const int clientCount = fullMode() ? 200 : 50;
    const int leaveEvery = 7;
    MessageCapture quiet;
    Agent agent;
    QCOMPARE(startOnSqlite(agent, {"create table unused(x)"}, QStringLiteral("select %1 as n"), QStringLiteral("n")),
             QString());
    BoxDismisser &boxes = agent.boxes;
    boxes.boxes.clear();
    QElapsedTimer clock;
    clock.start();

    // One after the other connected, so arrival order is client order.
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 1; i <= clientCount; ++i) {
        clients.push_back(std::make_unique<Client>(agent.lookupPort(), QByteArray::number(i)));
        Client &c = *clients.back();
        QTRY_VERIFY(c.socket.state() == QAbstractSocket::ConnectedState || c.closed);
        if (i % leaveEvery == 0) {
            c.socket.flush();
            c.socket.abort();
        }
    }
    auto stayersDone = [&] {
        for (int i = 0; i < clientCount; ++i)
            if ((i + 1) % leaveEvery != 0 && !clients[i]->closed)
                return false;
        return true;
    };
    QElapsedTimer wait;
    wait.start();
    while (!stayersDone() && wait.elapsed() < 60000)
        QTest::qWait(20);

    int stayed = 0, replied = 0;
    for (int i = 0; i < clientCount; ++i) {
        if ((i + 1) % leaveEvery == 0)
            continue;
        ++stayed;
        if (lookupReplyText(clients[i]->received) == QString::number(i + 1))
            ++replied;
        else
            qWarning() << "client" << i + 1 << "got" << clients[i]->received.toHex();
    }
    // The order the agent served in, from the input it reported.
    QVector<int> served;
    for (const QString &text : boxes.texts())
        if (text.startsWith(QLatin1String("In param: ")))
            served << text.mid(10).toInt();
    const bool inOrder = std::is_sorted(served.begin(), served.end())
        && std::adjacent_find(served.begin(), served.end()) == served.end();
    int servedLeavers = 0;
    for (int n : served)
        servedLeavers += n % leaveEvery == 0 ? 1 : 0;

    Client after(agent.lookupPort(), "77");
    QTRY_VERIFY_WITH_TIMEOUT(after.closed, 10000);
    const bool stillServes = lookupReplyText(after.received) == QLatin1String("77");
    figures(QStringLiteral("lookup: clients=%1 left_early=%2 stayed=%3 replied=%4 served=%5 (of them left early %6) "
                           "in_arrival_order=%7 boxes=%8 still_serves=%9 in %10")
                .arg(clientCount).arg(clientCount - stayed).arg(stayed).arg(replied).arg(served.size())
                .arg(servedLeavers).arg(inOrder ? "yes" : "NO").arg(boxes.boxes.size())
                .arg(stillServes ? "yes" : "NO").arg(seconds(clock)));
    QCOMPARE(replied, stayed);
    QVERIFY(inOrder);
    QVERIFY(stillServes);
}

QTEST_MAIN(AbuseBattery)
#include "abuse_battery.moc"
