#include "net/httpendpoint.h"
#include "net/httprequest.h"
#include "support/agent.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <sys/socket.h>
#include <unistd.h>

namespace {

QStringList users()
{
    return usersTable({
        "insert into users values('quoter', 'q', 'a\"b\\c')",
        "insert into users values('nobody', 'n', 'none')",
        "insert into users values('blank', 'b', NULL)",
        "insert into users values('ann lee', 'p+q', 'u-sp')",
    });
}

// The endpoint alone on a loopback listener, its check a function of the test.
struct EndpointRig : HttpEndpoint::Checker
{
    using Check = std::function<void(const QString &, const QString &, Answer)>;
    explicit EndpointRig(Check checkBy, const Http::Limits &limits = shortLimits().http)
        : run(std::move(checkBy)), endpoint(*this, limits)
    {
        endpoint.listenOn(&listener);
        listening = listener.listen(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return listener.serverPort(); }
    void check(const QString &user, const QString &password, Answer done) override { run(user, password, done); }

    Check run;
    QTcpServer listener; // made first, gone last: the endpoint never meets its dying connections
    HttpEndpoint endpoint;
    bool listening = false;
};

// A client that sends its request and neither closes nor stops sending until
// it says so: a descriptor of its own, since a QTcpSocket closes at the end of
// the answer. Reads what comes, without waiting.
struct RawClient
{
    RawClient(quint16 port, const QByteArray &request) : fd(connectTo(port, true))
    {
        ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL);
    }
    ~RawClient() { ::close(fd); }
    // True once the answer and the end of its stream are in.
    bool answered()
    {
        char chunk[4096];
        ssize_t n;
        while ((n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
            received.append(chunk, int(n));
        return n == 0;
    }
    const int fd;
    QByteArray received;
};

} // namespace

class tst_HttpEndpoint : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // answers
    void answer_data();
    void answer();
    void debugTraceMasksThePassword();
    void formPost_data();
    void formPost();

    // buffering and limits
    void requestInTwoPiecesIsJudgedWhole();
    void refusedAnswerNotLostToResetWhileClientStillSends();
    void requestFollowedByEndOfInputIsAnswered();
    void silentClientIsClosedAndPartialLineJudgedAfterTimeOut();

    // load
    void twoHundredSimultaneousConnectionsAllAnswered();

    // the endpoint alone, with a check that reports later
    void checkResultReportedLaterIsAnswered();
    void checkResultForClientGoneMeanwhileIsDropped();
    void failedStatementIsSaidWithItsClient_data();
    void failedStatementIsSaidWithItsClient();
    void requestCompleteWhileTheThreadWasHeldIsAnswered();
    void atTheCapOneConnectionMakesRoom_data();
    void atTheCapOneConnectionMakesRoom();
    void lingeringAfterTheAnswerEnds_data();
    void lingeringAfterTheAnswerEnds();

private:
    void startAgent(const AgentLimits &limits);

    std::unique_ptr<Agent> agent;
    std::unique_ptr<MessageCapture> messages;
};

void tst_HttpEndpoint::startAgent(const AgentLimits &limits)
{
    agent.reset(); // the default connection and the working directory are the new one's
    agent = std::make_unique<Agent>(limits);
    QCOMPARE(startOnSqlite(*agent, users(), CheckStatement, "uid"), QString());
    QVERIFY(agent->inspect().httpServer()->isListening());
}

// The program's own limits: the pieces, flood and load cases must not race a
// short time-out. The case that waits one out starts an agent of its own.
void tst_HttpEndpoint::init()
{
    // Every check narrates a dozen lines; they are kept here rather than printed.
    messages = std::make_unique<MessageCapture>();
    startAgent(AgentLimits());
}

void tst_HttpEndpoint::cleanup()
{
    agent.reset();
    messages.reset();
}

void tst_HttpEndpoint::answer_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("known_user") << checkRequest("alice", "Zq9secret") << found("u-17");
    QTest::newRow("wrong_password") << checkRequest("alice", "wrong") << notFound();
    QTest::newRow("unknown_user") << checkRequest("mallory", "x") << notFound();
    QTest::newRow("result_none_is_not_found") << checkRequest("nobody", "n") << notFound();
    QTest::newRow("empty_result_is_found_empty") << checkRequest("blank", "b") << found("");
    QTest::newRow("quote_and_backslash_escaped") << checkRequest("quoter", "q") << found("a\\\"b\\\\c");
    QTest::newRow("percent_encoded_utf8_user") << checkRequest("j%C3%BCrgen", "j") << found("u-\xc3\xa4");
    QTest::newRow("get_in_lower_case") << QByteArray("get /t/check?username=alice&password=Zq9secret HTTP/1.1\r\n")
                                       << notFound();
    QTest::newRow("lf_only_line_ends") << QByteArray("GET /t/check?username=alice&password=Zq9secret HTTP/1.0\n\n")
                                       << found("u-17");
    QTest::newRow("other_path") << QByteArray("GET /index.html HTTP/1.1\r\n\r\n") << notFound();
    QTest::newRow("blank_line") << QByteArray("\r\n") << notFound();
}

void tst_HttpEndpoint::answer()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);

    QCOMPARE(exchange(agent->httpPort(), request).toHex(), expected.toHex());
}

// Credentials in a form body: the same check and answers; anything short of a
// whole, well-formed form is not found, the incomplete ones after the request
// time-out.
void tst_HttpEndpoint::formPost_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");

    const auto post = [](const QByteArray &headers, const QByteArray &body) {
        return "POST /t/check HTTP/1.0\r\n" + headers + "\r\n" + body;
    };
    const QByteArray form = "Content-Type: application/x-www-form-urlencoded\r\n";
    const auto length = [](const QByteArray &body) { return "Content-Length: " + QByteArray::number(body.size()) + "\r\n"; };
    const QByteArray alice = "username=alice&password=Zq9secret";
    const QByteArray jurgen = "username=j%C3%BCrgen&password=j";

    QTest::newRow("found") << post(form + length(alice), alice) << found("u-17");
    QTest::newRow("wrong_password") << post(form + length("username=alice&password=x"), "username=alice&password=x")
                                    << notFound();
    QTest::newRow("utf8_percent_decoded") << post(form + length(jurgen), jurgen) << found("u-\xc3\xa4");
    QTest::newRow("plus_is_a_blank_percent_2b_a_plus")
        << post(form + length("username=ann+lee&password=p%2Bq"), "username=ann+lee&password=p%2Bq") << found("u-sp");
    QTest::newRow("http_1_1_lf_only_headers_any_case_charset")
        << QByteArray("POST /t/check HTTP/1.1\ncontent-type: Application/X-WWW-Form-Urlencoded; charset=UTF-8\n"
                      "CONTENT-LENGTH: " + QByteArray::number(alice.size()) + "\nHost: x\n\n" + alice)
        << found("u-17");
    QTest::newRow("order_and_extra_fields") << post(form + length("x=1&password=Zq9secret&username=alice"),
                                                   "x=1&password=Zq9secret&username=alice")
                                            << found("u-17");
    QTest::newRow("bytes_after_the_body_ignored") << post(form + length(alice), alice + "&username=bob") << found("u-17");
    QTest::newRow("no_password_field") << post(form + length("username=alice"), "username=alice") << notFound();
    QTest::newRow("content_length_missing") << post(form, alice) << notFound();
    QTest::newRow("content_length_over_64k") << post(form + "Content-Length: 65537\r\n", alice) << notFound();
    QTest::newRow("body_short_of_its_length") << post(form + "Content-Length: 40\r\n", alice) << notFound();
    QTest::newRow("headers_never_end") << QByteArray("POST /t/check HTTP/1.0\r\n") + form << notFound();
    QTest::newRow("wrong_content_type") << post("Content-Type: text/plain\r\n" + length(alice), alice) << notFound();
    QTest::newRow("credentials_in_the_query_of_a_post")
        << QByteArray("POST /t/check?username=alice&password=Zq9secret HTTP/1.0\r\n\r\n") << notFound();
}

void tst_HttpEndpoint::formPost()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);

    startAgent(shortLimits()); // the incomplete forms wait out the request time-out
    QCOMPARE(exchange(agent->httpPort(), request).toHex(), expected.toHex());
}

void tst_HttpEndpoint::debugTraceMasksThePassword()
{
    messages->clear();
    QCOMPARE(exchange(agent->httpPort(), checkRequest("alice", "Zq9secret")).toHex(), found("u-17").toHex());

    const QStringList debug = messages->debug();
    for (const QString &line : debug)
        QVERIFY2(!line.contains("Zq9"), qPrintable(line));

    const QString line = "GET /t/check?username=alice&password=******** HTTP/1.1";
    const QStringList trace = {
        "\"[d] slotReadClient\"",
        "[d] client 127.0.0.1 on http", // who asked, once
        "httpQuery= \"" + line + "\"  index= 0",
        "[Original String]: \"" + line + "\"",
        QString(68, '-'),
        "(QUrl::toEncoded)          : \"GET%20/t/check?username=alice&password=********\"",
        "(QUrl::url)                : \"" + line + "\"",
        "(QUrl::toString)           : \"" + line + "\"",
        "(QUrl::toDisplayString)    : \"" + line + "\"",
        "(QUrl::fromPercentEncoding): \"" + line + "\"",
        "\"alice\" \"********\"",
    };
    int at = messages->indexOfDebug(trace.first());
    QVERIFY(at >= 0);
    for (const QString &expected : trace) {
        QCOMPARE(debug.value(at), expected);
        ++at;
    }
    QVERIFY(messages->indexOfDebug("[+] user exist! RET= \"u-17\"", at) > at);
    QCOMPARE(messages->warnings(), QStringList()); // none of Qt's own either
}

void tst_HttpEndpoint::requestInTwoPiecesIsJudgedWhole()
{
    Client client(agent->httpPort(), "GET /t/check?username=alice&pass");
    QTRY_VERIFY(client.socket.bytesToWrite() == 0 && client.socket.state() == QAbstractSocket::ConnectedState);
    QTest::qWait(300); // the pause between the two pieces is the point of the test
    QVERIFY(!client.closed);
    client.socket.write("word=Zq9secret HTTP/1.1\r\n\r\n");
    QTRY_VERIFY(client.closed);
    QCOMPARE(client.received.toHex(), found("u-17").toHex());
}

void tst_HttpEndpoint::refusedAnswerNotLostToResetWhileClientStillSends()
{
    // Far more than the socket buffers hold: the client is still sending when
    // the agent refuses, and closing on unread input used to reset the
    // connection before the answer arrived. The agent serves on.
    const QByteArray flood = "GET /t/check?username=alice&password=Zq9secret HTTP/1.1" + QByteArray(10 << 20, 'x');
    QCOMPARE(exchange(agent->httpPort(), flood).toHex(), notFound().toHex());
    QCOMPARE(exchange(agent->httpPort(), checkRequest("alice", "Zq9secret")).toHex(), found("u-17").toHex());
}

void tst_HttpEndpoint::requestFollowedByEndOfInputIsAnswered()
{
    Client halfClosed(agent->httpPort(), "GET /t/check?username=alice&password=Zq9secret HTTP/1.1");
    QTRY_VERIFY(halfClosed.socket.bytesToWrite() == 0 && halfClosed.socket.state() == QAbstractSocket::ConnectedState);
    QCOMPARE(::shutdown(int(halfClosed.socket.socketDescriptor()), SHUT_WR), 0);
    // Qt gives up its descriptor at the client's end of input; the answer
    // still goes out, through the one the agent holds for it.
    QTRY_VERIFY(halfClosed.closed);
    QCOMPARE(halfClosed.received.toHex(), found("u-17").toHex());

    QCOMPARE(exchange(agent->httpPort(), checkRequest("alice", "Zq9secret")).toHex(), found("u-17").toHex());
}

void tst_HttpEndpoint::silentClientIsClosedAndPartialLineJudgedAfterTimeOut()
{
    startAgent(shortLimits());
    const int timeoutMs = agent->limits.http.requestTimeoutMs;
    Client silent(agent->httpPort());
    Client partial(agent->httpPort(), "GET /t/check?username=alice&password=Zq9secret HTTP/1.1");
    QTRY_VERIFY(silent.socket.state() == QAbstractSocket::ConnectedState);

    QTRY_VERIFY_WITH_TIMEOUT(silent.closed && partial.closed, timeoutMs + 5000);
    QCOMPARE(silent.received.toHex(), QByteArray());
    // Neither closed before the time-out; a coarse timer may fire up to 5% early.
    QVERIFY2(silent.closedAfterMs >= timeoutMs * 95 / 100, qPrintable(QString::number(silent.closedAfterMs)));
    QVERIFY2(partial.closedAfterMs >= timeoutMs * 95 / 100, qPrintable(QString::number(partial.closedAfterMs)));
    QCOMPARE(partial.received.toHex(), found("u-17").toHex());
}

void tst_HttpEndpoint::twoHundredSimultaneousConnectionsAllAnswered()
{
    constexpr int count = 200;
    QVector<QByteArray> requests;
    for (int i = 0; i < count; ++i)
        requests << (i % 2 == 0 ? checkRequest("alice", "Zq9secret") : checkRequest("x", "y"));
    const QVector<QByteArray> answers = answersTo(agent->httpPort(), requests, count, 30000);
    for (int i = 0; i < count; ++i)
        QCOMPARE(answers[i].toHex(), (i % 2 == 0 ? found("u-17") : notFound()).toHex());
}

// A pooled executor reports after submit has returned: the connection waits
// for it, and only the matched request's values reach the check.
void tst_HttpEndpoint::checkResultReportedLaterIsAnswered()
{
    QStringList asked;
    std::function<void(const Http::Verdict &)> report;
    EndpointRig rig([&](const QString &user, const QString &password, auto done) {
        asked << user << password;
        report = std::move(done);
    });
    QVERIFY2(rig.listening, qPrintable(rig.listener.errorString()));

    Client client(rig.port(), checkRequest("alice", "Zq9secret"));
    QTRY_VERIFY(report);
    QCOMPARE(asked, QStringList({"alice", "Zq9secret"}));
    QVERIFY(!client.closed);
    report({QStringLiteral("u-17")});
    QVERIFY(client.waitClosed());
    QCOMPARE(client.received.toHex(), found("u-17").toHex());
}

// Both time-outs end while the thread is held; the first connection's check
// then holds it again, and meanwhile the second's whole request arrives. It
// is answered, not closed as silent.
void tst_HttpEndpoint::requestCompleteWhileTheThreadWasHeldIsAnswered()
{
    std::unique_ptr<Client> late;
    EndpointRig rig([&](const QString &user, const QString &, auto done) {
        if (user == QLatin1String("alice")) {
            late->socket.write(checkRequest("bob", "b"));
            late->socket.flush();
            QThread::msleep(50);
        }
        done({QStringLiteral("u-1")});
    });
    Client held(rig.port(), "GET /t/check?username=alice&password=Zq9secret HTTP/1.1");
    late = std::make_unique<Client>(rig.port());
    QTRY_COMPARE(rig.endpoint.connections().size(), 2);
    QTest::qWait(50); // the first request line's start is read
    QThread::msleep(rig.endpoint.limits().requestTimeoutMs + 100);

    QVERIFY(held.waitClosed() && late->waitClosed());
    QCOMPARE(late->received.toHex(), found("u-1").toHex());
    QCOMPARE(rig.endpoint.counters().dropped, quint64(0));
}

void tst_HttpEndpoint::checkResultForClientGoneMeanwhileIsDropped()
{
    std::function<void(const Http::Verdict &)> report;
    EndpointRig rig([&](const QString &, const QString &, auto done) { report = std::move(done); });
    QVERIFY2(rig.listening, qPrintable(rig.listener.errorString()));

    auto leaving = std::make_unique<Client>(rig.port(), checkRequest("alice", "Zq9secret"));
    QTRY_VERIFY(report);
    leaving->socket.abort();
    leaving.reset();
    // The agent's end of the connection frees itself; a reply to it would be
    // reported by QIODevice, or crash.
    QTRY_VERIFY(rig.listener.findChildren<QTcpSocket *>().isEmpty());
    messages->clear();
    report({QStringLiteral("u-17")});
    QCOMPARE(messages->warnings(), QStringList());

    QCOMPARE(exchange(rig.port(), "GET / HTTP/1.0\r\n\r\n").toHex(), notFound().toHex());
}

// A statement that failed is an error line naming the client and the user once; the client hears not found.
void tst_HttpEndpoint::failedStatementIsSaidWithItsClient_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("said");
    const QByteArray body = "username=m%0A%5Be%5D+x%22&password=x"; // a form's fields are decoded whole
    QTest::newRow("plain_name")        << checkRequest("alice", "x") << "for \"alice\": why";
    QTest::newRow("line_feed_in_form") << "POST /t/check HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                          "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body
                                       << "for \"m\\n[e] x\\\"\": why";
}

// A failed check is said once, with its client and why; the name cannot end the line or its quotes.
void tst_HttpEndpoint::failedStatementIsSaidWithItsClient()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, said);
    EndpointRig rig([](const QString &, const QString &, auto done) { done({QStringLiteral("none"), false, 0, {}, "why"}); });
    messages->clear();
    QCOMPARE(exchange(rig.port(), request).toHex(), notFound().toHex());
    QCOMPARE(messages->warnings().filter("[e]"), QStringList {"[e] check from 127.0.0.1 on http " + said});
}

void tst_HttpEndpoint::atTheCapOneConnectionMakesRoom_data()
{
    QTest::addColumn<bool>("lingering");
    QTest::newRow("the_longest_silent") << false;
    QTest::newRow("a_lingering_one_before_any_silent_one") << true;
}

// Idle connections cannot starve the checks: at the cap a check closes the
// connection that has waited longest for its request line; one that has its
// answer and lingers goes before any of those.
void tst_HttpEndpoint::atTheCapOneConnectionMakesRoom()
{
    QFETCH(bool, lingering);
    Http::Limits limits = shortLimits().http;
    limits.requestTimeoutMs = limits.lingerIdleMs = limits.lingerMs = 60000; // the cap, not a time-out, closes them
    limits.maxConnections = 3;
    EndpointRig rig([](const QString &, const QString &, auto done) { done({QStringLiteral("u-17")}); }, limits);
    QVERIFY2(rig.listening, qPrintable(rig.listener.errorString()));
    QCOMPARE(rig.endpoint.connections().cap(), 3);
    std::unique_ptr<RawClient> answered;
    if (lingering) {
        answered = std::make_unique<RawClient>(rig.port(), checkRequest("alice", "Zq9secret"));
        QTRY_VERIFY(answered->answered());
    }
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = lingering ? 1 : 0; i < 3; ++i) {
        idle.push_back(std::make_unique<Client>(rig.port()));
        QTRY_COMPARE(rig.endpoint.connections().size(), i + 1);
    }
    // The fourth goes over the cap: one goes. Then there is room again: a
    // second check closes nobody.
    for (int round = 0; round < 2; ++round)
        QCOMPARE(exchange(rig.port(), checkRequest("alice", "Zq9secret")).toHex(), found("u-17").toHex());
    QTRY_COMPARE(closedCount(idle), lingering ? 0 : 1);
    QVERIFY(lingering || idle[0]->closed);
    QCOMPARE(rig.endpoint.connections().counters().shed, quint64(1));
}

void tst_HttpEndpoint::lingeringAfterTheAnswerEnds_data()
{
    QTest::addColumn<int>("idleMs");
    QTest::addColumn<int>("lingerMs");
    QTest::addColumn<int>("sendEveryMs"); // after the answer; 0: sends nothing
    QTest::addColumn<bool>("clientCloses");
    QTest::addColumn<int>("atLeastMs");
#define ROW(name, idle, linger, every, closes, atLeast) \
    QTest::newRow(name) << idle << linger << every << closes << atLeast
    ROW("when_the_client_closes", 60000, 60000, 0, true, 0);
    ROW("after_the_idle_time_without_input", 300, 60000, 0, false, 300);
    ROW("after_the_linger_time_while_input_comes", 300, 900, 50, false, 900);
#undef ROW
}

// After its answer a connection reads what the client still sends until the
// client closes, is silent lingerIdleMs, or lingerMs have passed.
void tst_HttpEndpoint::lingeringAfterTheAnswerEnds()
{
    QFETCH(int, idleMs);
    QFETCH(int, lingerMs);
    QFETCH(int, sendEveryMs);
    QFETCH(bool, clientCloses);
    QFETCH(int, atLeastMs);
    Http::Limits limits = shortLimits().http;
    limits.lingerIdleMs = idleMs;
    limits.lingerMs = lingerMs;
    EndpointRig rig([](const QString &, const QString &, auto done) { done({QStringLiteral("u-17")}); }, limits);
    RawClient client(rig.port(), checkRequest("alice", "Zq9secret"));
    QTRY_VERIFY(client.answered());
    QCOMPARE(client.received.toHex(), found("u-17").toHex());
    QElapsedTimer clock;
    clock.start();
    QTimer sender;
    connect(&sender, &QTimer::timeout, [&] { ::send(client.fd, "more", 4, MSG_NOSIGNAL); });
    if (sendEveryMs > 0)
        sender.start(sendEveryMs);
    if (clientCloses)
        ::shutdown(client.fd, SHUT_WR);

    QTRY_COMPARE_WITH_TIMEOUT(rig.endpoint.connections().size(), 0, 5000);
    // A coarse timer may fire up to 5% early.
    QVERIFY2(clock.elapsed() >= atLeastMs * 95 / 100, qPrintable(QString::number(clock.elapsed())));
}

QTEST_MAIN(tst_HttpEndpoint)
#include "tst_httpendpoint.moc"
