#include "net/authendpoint.h"
#include "net/wiretext.h"
#include "support/testsupport.h"
#include "support/wireclient.h"

#include <QTcpServer>
#include <QtTest>

#include <sys/socket.h>

namespace {

QByteArray basic(const QByteArray &userColonPassword)
{
    return "Authorization: Basic " + userColonPassword.toBase64() + "\r\n";
}
QByteArray get(const QByteArray &headers, const QByteArray &line = "GET /auth HTTP/1.1")
{
    return line + "\r\nHost: a\r\n" + headers + "\r\n";
}
// The answers as RFC 7230 and RFC 7235 write them, compared whole.
QByteArray answer(const QByteArray &status, const QByteArray &headers = {}, const QByteArray &connection = {})
{
    return "HTTP/1.1 " + status + "\r\n" + headers + "Cache-Control: no-store\r\nContent-Length: 0\r\n" + connection
        + "\r\n";
}
QByteArray ok(const QByteArray &user, const QByteArray &id, const QByteArray &connection = {})
{
    return answer("200 OK", "X-Remote-User: " + user + "\r\nX-Remote-Id: " + id + "\r\n", connection);
}
const QByteArray Unauthorized
    = answer("401 Unauthorized", "WWW-Authenticate: Basic realm=\"TOVR/MERK\", charset=\"UTF-8\"\r\n");
const QByteArray Close = "Connection: close\r\n";
const QByteArray Alice = basic("alice:Zq9secret");

Auth::Limits shortAuthLimits()
{
    Auth::Limits limits;
    limits.maxHeadBytes = 2048;
    limits.headTimeoutMs = 300;
    limits.idleTimeoutMs = 600; // unlike the head's, so a test sees which one closed
    limits.lingerIdleMs = limits.lingerMs = 200;
    return limits;
}

// The endpoint alone on loopback, its gate over a checker of the test's: a
// check for "later" is answered once the next check has been.
struct AuthRig : CheckGate::Checker
{
    explicit AuthRig(const Auth::Limits &limits = shortAuthLimits())
        : gate(*this, Throttle::Limits()), endpoint(gate, limits)
    {
        gate.setDecisionHandler([this](const CheckGate::Decision &d) {
            clients << d.origin.client.toString();
            exists += d.verdict == CheckGate::Decision::Verdict::Exist;
        });
        endpoint.listenOn(&listener);
        listening = listener.listen(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return listener.serverPort(); }
    void check(const QString &user, const QString &password, Answer done) override
    {
        const QHash<QString, QString> found {{"alice:Zq9secret", "u-17"}, {"bob:b", "u-b"},
            {"j\u00fcrgen:pa:ss", "u-\u00e4"}, {"crlf:x", "u\r\nSet-Cookie: x"}};
        Http::Verdict verdict {found.value(user + ':' + password, Net::NoResult)};
        if (user == "stale")
            verdict = {"u-old", false, 0, Http::Verdict::Source::Stale};
        if (user == "down")
            verdict = {Net::NoResult, true, 7};
        if (user == "later")
            return held.push_back(std::move(done));
        done(verdict);
        for (const Answer &later : std::exchange(held, {}))
            later({"u-later"});
    }

    MessageCapture quiet; // the narration and the warnings, kept rather than printed
    QTcpServer listener;  // made first, gone last
    CheckGate gate;
    AuthEndpoint endpoint;
    bool listening = false;
    std::vector<Answer> held;
    QStringList clients; // each decision's client, as the audit gets it
    int exists = 0;      // decisions the audit gets as found
};

} // namespace

class tst_AuthEndpoint : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void clientBehindATrustedProxy_data();
    void clientBehindATrustedProxy();
    void timeOuts_data();
    void timeOuts();
    void atTheCapTheLongestIdleMakesRoom();
    void aClientThatReadsNoAnswersIsIdle();
    void halfClosedClientGetsAnswersThatComeLater();
};

// One connection: the request bytes (several pipelined requests, some), the
// answers whole and in order, and whether the agent then closes it; one it
// keeps answers a further request.
void tst_AuthEndpoint::answers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("closes");
    const QByteArray bob = QByteArray("bob:b").toBase64(); // "Ym9iOmI=": one '=' of padding
#define ROW(name, request, expected, closes) QTest::newRow(name) << QByteArray(request) << QByteArray(expected) << closes
    ROW("found", get(Alice), ok("alice", "u-17"), false);
    ROW("found_head", get(Alice, "HEAD /auth HTTP/1.1"), ok("alice", "u-17"), false);
    ROW("query_string_after_the_path", get(Alice, "GET /auth?rd=/x HTTP/1.1"), ok("alice", "u-17"), false);
    ROW("absolute_form_target", get(Alice, "GET http://a/auth HTTP/1.1"), ok("alice", "u-17"), false);
    ROW("scheme_in_any_case", get("authorization: bAsIc  " + bob + "\r\n"), ok("bob", "u-b"), false);
    ROW("utf8_split_at_the_first_colon", get(basic("j\xc3\xbcrgen:pa:ss")), ok("j\xc3\xbcrgen", "u-\xc3\xa4"), false);
    ROW("stale_cache_entry_is_found", get(basic("stale:x")), ok("stale", "u-old"), false);
    ROW("not_found", get(basic("alice:wrong")), Unauthorized, false);
    ROW("unavailable", get(basic("down:x")), answer("503 Service Unavailable", "Retry-After: 7\r\n"), false);
    ROW("identifier_with_crlf_refused", get(basic("crlf:x")), Unauthorized, false);
    ROW("user_with_a_tab_refused", get(basic("al\tice:Zq9secret")), Unauthorized, false);
    ROW("user_with_a_blank_at_its_end", get(basic("alice :Zq9secret")), Unauthorized, false);
    ROW("no_authorization", get(""), Unauthorized, false);
    ROW("other_scheme", get("Authorization: Bearer " + QByteArray("alice:Zq9secret").toBase64() + "\r\n"), Unauthorized, false);
    ROW("empty_value", get("Authorization: \r\n"), Unauthorized, false);
    ROW("basic_alone", get("Authorization: Basic\r\n"), Unauthorized, false);
    ROW("base64_unpadded", get("Authorization: Basic " + bob.chopped(1) + "\r\n"), Unauthorized, false);
    ROW("base64_unused_bits_set", get("Authorization: Basic Ym9iOmJ=\r\n"), Unauthorized, false);
    ROW("base64_character_outside_alphabet", get("Authorization: Basic *" + bob + "\r\n"), Unauthorized, false);
    ROW("two_tokens", get("Authorization: Basic Ym9i OmI=\r\n"), Unauthorized, false);
    ROW("no_colon", get(basic("alice")), Unauthorized, false);
    ROW("empty_user", get(basic(":Zq9secret")), Unauthorized, false);
    ROW("nul_byte", get(basic(QByteArray("alice:Zq9secret\0", 16))), Unauthorized, false);
    ROW("invalid_utf8_latin1_name", get(basic("j\xfcrgen:pa:ss")), Unauthorized, false);
    ROW("two_authorization_headers", get(Alice + Alice), Unauthorized, false);
    ROW("user_of_3_kb_over_the_head_limit", get(basic(QByteArray(3000, 'a') + ":x")),
        answer("431 Request Header Fields Too Large", {}, Close), true);
    ROW("other_path", get(Alice, "GET /authx HTTP/1.1"), answer("404 Not Found"), false);
    ROW("other_method", get(Alice + "Content-Length: 0\r\n", "POST /auth HTTP/1.1"),
        answer("405 Method Not Allowed", "Allow: GET, HEAD\r\n"), false);
    ROW("body_by_length", get(Alice + "Content-Length: 3\r\n") + "abc", answer("413 Payload Too Large", {}, Close), true);
    ROW("body_chunked", get(Alice + "Transfer-Encoding: chunked\r\n") + "3\r\nabc\r\n0\r\n\r\n",
        answer("413 Payload Too Large", {}, Close), true);
    ROW("header_folding", get("X-A: b\r\n " + Alice), answer("400 Bad Request", {}, Close), true);
    ROW("not_http", "\x16\x03\x01\x02\x01\x01\x01\x01\xfc\x03\x03\r\n\r\n", answer("400 Bad Request", {}, Close), true);
    ROW("http_1_0_closes", get(Alice, "GET /auth HTTP/1.0"), ok("alice", "u-17", Close), true);
    ROW("http_1_0_keep_alive", get(Alice + "Connection: keep-alive\r\n", "GET /auth HTTP/1.0"),
        ok("alice", "u-17", "Connection: keep-alive\r\n"), false);
    ROW("connection_close", get(Alice + "Connection: close\r\n"), ok("alice", "u-17", Close), true);
    ROW("pipelined_answered_in_order", get(basic("later:x")) + get(Alice) + get(""),
        ok("later", "u-later") + ok("alice", "u-17") + Unauthorized, false);
    ROW("pipelined_with_a_malformed_one", get(Alice) + "GET /auth HTTP/1.1\r\nNo colon\r\n\r\n" + get(Alice),
        ok("alice", "u-17") + answer("400 Bad Request", {}, Close), true);
#undef ROW
}

void tst_AuthEndpoint::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);
    QFETCH(bool, closes);
    AuthRig rig;
    QVERIFY2(rig.listening, qPrintable(rig.listener.errorString()));

    Client client(rig.port(), request);
    QTRY_COMPARE(client.received, expected);
    QCOMPARE(rig.exists, int(expected.count("200 OK"))); // the audit says found for each 200, and for nothing else
    if (closes) {
        QVERIFY(client.waitClosed());
        return;
    }
    client.socket.write(get(Alice));
    QTRY_COMPARE(client.received, expected + ok("alice", "u-17"));
    QVERIFY(!client.closed);
    QCOMPARE(rig.endpoint.counters().accepted, quint64(1));
}

// Whose address the throttles and the audit get.
void tst_AuthEndpoint::clientBehindATrustedProxy_data()
{
    QTest::addColumn<QString>("trusted");
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<QString>("client");
#define ROW(name, trusted, headers, client) QTest::newRow(name) << QString(trusted) << QByteArray(headers) << QString(client)
    ROW("untrusted_peer_names_nobody", "10.0.0.0/8", "X-Forwarded-For: 203.0.113.9\r\n", "127.0.0.1");
    ROW("forwarded_for_first_address", "127.0.0.1/32", "X-Forwarded-For: 203.0.113.9, 10.1.1.1\r\n", "203.0.113.9");
    ROW("forwarded_for_before_real_ip", "127.0.0.1/32", "X-Real-IP: 198.51.100.7\r\nX-Forwarded-For: 2001:db8::5\r\n",
        "2001:db8::5");
    ROW("real_ip", "127.0.0.1/32", "X-Real-IP: 198.51.100.7\r\n", "198.51.100.7");
    ROW("mapped_address_unmapped", "127.0.0.1/32", "X-Real-IP: ::ffff:198.51.100.7\r\n", "198.51.100.7");
    ROW("not_an_address", "127.0.0.1/32", "X-Forwarded-For: unknown\r\n", "127.0.0.1");
#undef ROW
}

void tst_AuthEndpoint::clientBehindATrustedProxy()
{
    QFETCH(QString, trusted);
    QFETCH(QByteArray, headers);
    QFETCH(QString, client);
    AuthRig rig;
    rig.endpoint.configure(Auth::DefaultRealm, *Net::AddressBlocks::parse(trusted, nullptr));
    Client asking(rig.port(), get(Alice + headers));
    QTRY_COMPARE(asking.received, ok("alice", "u-17"));
    QCOMPARE(rig.clients, QStringList {client});
}

// A fresh connection and a trickling one are closed at the head's time-out,
// an answered one at the idle time-out; neither before.
void tst_AuthEndpoint::timeOuts_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("dripEveryMs"); // sends one more byte of a head this often; 0: nothing
    QTest::addColumn<bool>("idle");
    QTest::newRow("fresh_and_silent") << QByteArray() << 0 << false;
    QTest::newRow("a_byte_every_50_ms") << QByteArray("GET /auth HTTP/1.1\r\n") << 50 << false;
    QTest::newRow("idle_after_an_answer") << get(Alice) << 0 << true;
}

void tst_AuthEndpoint::timeOuts()
{
    QFETCH(QByteArray, request);
    QFETCH(int, dripEveryMs);
    QFETCH(bool, idle);
    AuthRig rig;
    const int limitMs = idle ? rig.endpoint.limits().idleTimeoutMs : rig.endpoint.limits().headTimeoutMs;
    Client client(rig.port(), request);
    QTimer drip;
    connect(&drip, &QTimer::timeout, [&] { client.socket.write("X"); });
    if (dripEveryMs > 0)
        drip.start(dripEveryMs);

    QTRY_VERIFY_WITH_TIMEOUT(client.closed, limitMs + 5000);
    // A coarse timer may fire up to 5% early.
    QVERIFY2(client.closedAfterMs >= limitMs * 95 / 100, qPrintable(QString::number(client.closedAfterMs)));
    QCOMPARE(client.received, idle ? ok("alice", "u-17") : QByteArray());
    QCOMPARE(rig.endpoint.counters().idleClosed, quint64(idle ? 1 : 0));
    QCOMPARE(rig.endpoint.counters().slowHeads, quint64(idle ? 0 : 1));
}

// Idle keep-alive connections cannot hold a new client out: at the cap the
// one idle longest goes, and the newcomer is answered.
void tst_AuthEndpoint::atTheCapTheLongestIdleMakesRoom()
{
    Auth::Limits limits = shortAuthLimits();
    limits.idleTimeoutMs = limits.headTimeoutMs = 60000; // the cap, not a time-out, closes them
    limits.maxConnections = 3;
    AuthRig rig(limits);
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(std::make_unique<Client>(rig.port(), get(Alice)));
        QTRY_COMPARE(idle.back()->received, ok("alice", "u-17"));
    }
    Client newcomer(rig.port(), get(Alice));
    QTRY_COMPARE(newcomer.received, ok("alice", "u-17"));
    QTRY_VERIFY(idle[0]->closed);
    QVERIFY(!idle[1]->closed && !idle[2]->closed);
    QCOMPARE(rig.endpoint.counters().shed, quint64(1));
}

// Such a client is closed at the idle time-out and makes room at the cap.
void tst_AuthEndpoint::aClientThatReadsNoAnswersIsIdle()
{
    AuthRig rig;
    QTcpSocket client;
    client.setReadBufferSize(1); // takes no more: the answers back up at the agent
    client.connectToHost(QHostAddress::LocalHost, rig.port());
    client.write(get("").repeated(400000));
    QTRY_COMPARE_WITH_TIMEOUT(rig.endpoint.counters().idleClosed, quint64(1), 30000);
}

// A client that shuts its sending side after its requests still gets every answer, though Qt gives up the
// connection at the end of input and a check answers only later.
void tst_AuthEndpoint::halfClosedClientGetsAnswersThatComeLater()
{
    AuthRig rig;
    Client halfClosed(rig.port(), get(Alice) + get(basic("later:x")));
    QTRY_VERIFY(halfClosed.socket.bytesToWrite() == 0 && rig.held.size() == 1);
    QCOMPARE(::shutdown(int(halfClosed.socket.socketDescriptor()), SHUT_WR), 0);
    QTRY_COMPARE(rig.endpoint.size(), 0);
    QCOMPARE(exchange(rig.port(), get(Alice + "Connection: close\r\n")), ok("alice", "u-17", Close));
    QTRY_VERIFY(halfClosed.closed);
    QCOMPARE(halfClosed.received, ok("alice", "u-17") + ok("later", "u-later"));
}

QTEST_MAIN(tst_AuthEndpoint)
#include "tst_authendpoint.moc"
