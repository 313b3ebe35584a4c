#include "support/agent.h"
#include "support/delayedpath.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"

#include <QLabel>
#include <QProcess>
#include <QSslSocket>
#include <QtTest>

#include <openssl/err.h>

#include <atomic>
#include <csignal>
#include <thread>

namespace {

// The request sent over TLS, trusting only the certificate in caFile, and every
// byte of the answer until the agent closes; "<tls error: ...>" when the
// handshake fails.
QByteArray tlsExchange(quint16 port, const QByteArray &request, const QString &caFile)
{
    QSslSocket socket;
    QSslConfiguration config = socket.sslConfiguration();
    config.setCaCertificates(QSslCertificate::fromPath(caFile));
    socket.setSslConfiguration(config);
    QByteArray received;
    QString failure;
    QObject::connect(&socket, &QSslSocket::encrypted, [&] { socket.write(request); });
    QObject::connect(&socket, &QIODevice::readyRead, [&] { received += socket.readAll(); });
    QObject::connect(&socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors),
                     [&](const QList<QSslError> &errors) { failure = errors.first().errorString(); });
    socket.connectToHostEncrypted(QStringLiteral("localhost"), port);
    const bool closed = QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 10000);
    received += socket.readAll();
    if (!failure.isEmpty())
        return "<tls error: " + failure.toUtf8() + '>';
    return closed ? received : "<no end: " + received + '>';
}

} // namespace

class tst_Tls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sameAnswersAsPlain_data();
    void sameAnswersAsPlain();
    void curlWithCacertAsTheReadmeShows();
    void unusableCredentialsLeaveTheRestRunning_data();
    void unusableCredentialsLeaveTheRestRunning();
    void sighupRotatesTheCertificate();
    void openSslClient_data();
    void openSslClient();
    void silentConnectionsTimeOut_data();
    void silentConnectionsTimeOut();
    void answerNotLostToResetWhileClientStillSends_data();
    void answerNotLostToResetWhileClientStillSends();

private:

    QTemporaryDir rsa, ec;
};

void tst_Tls::initTestCase()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("Qt finds no TLS library");
    QCOMPARE(makeCertificate(rsa.path()), QString());
    QCOMPARE(makeCertificate(ec.path(), QStringLiteral("ec:prime256v1")), QString());
}

void tst_Tls::sameAnswersAsPlain_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("request");
    const QByteArray form = "username=alice&password=Zq9secret";
    const QByteArray post = "POST /t/check HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                            "Content-Length: " + QByteArray::number(form.size()) + "\r\n\r\n" + form;
    for (const char *key : {"rsa", "ec"}) {
        QTest::addRow("%s_found", key) << key << checkRequest("alice", "Zq9secret");
        QTest::addRow("%s_not_found", key) << key << checkRequest("alice", "wrong");
        QTest::addRow("%s_form_found", key) << key << post;
        QTest::addRow("%s_other_request", key) << key << QByteArray("GET / HTTP/1.0\r\n\r\n");
    }
}

// The same bytes over TLS as over the plain port, and the status line names both.
void tst_Tls::sameAnswersAsPlain()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, request);
    const QString dir = key == QLatin1String("rsa") ? rsa.path() : ec.path();
    Agent agent;
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, QStringLiteral("uid"), tlsSettings(dir)), QString());
    const quint16 port = quint16(agent.values.value(QStringLiteral("https/port")).toUInt());

    const QByteArray plain = exchange(agent.httpPort(), request);
    QVERIFY(plain.startsWith("HTTP/1.0 200 Ok\r\n"));
    QCOMPARE(tlsExchange(port, request, QDir(dir).filePath(QStringLiteral("cert.pem"))).toHex(), plain.toHex());
    const QStringList status = agent.inspect().statusLabel()->text().split('\n');
    QCOMPARE(status.size(), 3);
    QVERIFY2(status[2].startsWith("The HTTPS is running IP: ") && status[2].endsWith(" port: " + QString::number(port)),
             qPrintable(status[2]));
}

void tst_Tls::curlWithCacertAsTheReadmeShows()
{
    Agent agent;
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, QStringLiteral("uid"), tlsSettings(rsa.path())), QString());
    const QString port = agent.values.value(QStringLiteral("https/port"));
    const ProgramRun curl = runProgram(QStringLiteral("curl"), {QStringLiteral("-sS"), QStringLiteral("--cacert"),
                                       QDir(rsa.path()).filePath(QStringLiteral("cert.pem")),
                                       QStringLiteral("--data"), QStringLiteral("username=alice&password=Zq9secret"),
                                       QStringLiteral("https://localhost:%1/t/check").arg(port)});
    QVERIFY2(curl.exitCode == 0, curl.err.constData());
    QCOMPARE(curl.out, QByteArray("{\"rez\":\"exist\",\"userid\":\"u-17\"}\n"));
}

void tst_Tls::unusableCredentialsLeaveTheRestRunning_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("why");
    const QString cert = QDir(rsa.path()).filePath(QStringLiteral("cert.pem"));
    const QString key = QDir(rsa.path()).filePath(QStringLiteral("key.pem"));
    QTest::newRow("no_certificate_file") << "/nonexistent/cert.pem" << key << "cannot read the certificate";
    QTest::newRow("key_as_certificate") << key << key << "holds no PEM certificate";
    QTest::newRow("certificate_as_key") << cert << cert << "holds no unencrypted PEM RSA or EC private key";
    QTest::newRow("nothing_named") << "" << "" << "cannot read the certificate";
    QTest::newRow("key_of_another_certificate") << cert << QDir(ec.path()).filePath(QStringLiteral("key.pem"))
                                                << "does not belong to the certificate";
    // A chain whose second certificate does not read is not a shorter chain.
    const QString chain = QDir(rsa.path()).filePath(QStringLiteral("broken-chain.pem"));
    writeFile(chain, readFile(cert) + "-----BEGIN CERTIFICATE-----\n!!!!\n-----END CERTIFICATE-----\n");
    QTest::newRow("chain_link_unreadable") << chain << key << "a certificate after the first that does not read";
}

// One line on the debug output and in the log file; no TLS listener, no third
// status line; the plain check answers.
void tst_Tls::unusableCredentialsLeaveTheRestRunning()
{
    QFETCH(QString, certificate);
    QFETCH(QString, key);
    QFETCH(QString, why);
    MessageCapture messages;
    Agent agent;
    IniValues values;
    values[QStringLiteral("https/port")] = QString::number(freePort());
    values[QStringLiteral("https/certificate")] = certificate;
    values[QStringLiteral("https/key")] = key;
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, QStringLiteral("uid"), values), QString());

    const QStringList lines = messages.debugStartingWith(QStringLiteral("[-] the HTTPS listener does not start: "));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(why), qPrintable(lines.first()));
    QCOMPARE(agent.log().filter(QStringLiteral("[-] the HTTPS listener does not start: ")), lines);
    QCOMPARE(agent.inspect().statusLabel()->text().count('\n'), 1);
    QCOMPARE(exchange(agent.httpPort(), checkRequest("alice", "Zq9secret")).toHex(),
             found("u-17").toHex());
}

// The certificate a new connection is shown, as the client sees it.
static QByteArray servedCertificate(quint16 port)
{
    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    return socket.waitForEncrypted(10000) ? socket.peerCertificate().digest() : QByteArray("<no handshake>");
}

// SIGHUP reads the pair again: a new connection sees the new certificate; a
// pair that does not load leaves the one in use, and says so once.
void tst_Tls::sighupRotatesTheCertificate()
{
    QTemporaryDir live;
    const auto install = [&](const QString &from) {
        for (const char *file : {"cert.pem", "key.pem"}) {
            QFile::remove(live.filePath(file));
            QVERIFY(QFile::copy(QDir(from).filePath(file), live.filePath(file)));
        }
    };
    install(rsa.path());
    AgentProcess agent(quietAgentSettings(tlsSettings(live.path())));
    QVERIFY2(agent.start(), qPrintable(agent.outcome()));
    const quint16 port = agent.port(QStringLiteral("https/port"));
    QTRY_COMPARE(servedCertificate(port), QSslCertificate::fromPath(rsa.filePath("cert.pem")).first().digest());

    install(ec.path());
    ::kill(pid_t(agent.pid()), SIGHUP);
    QTRY_COMPARE(servedCertificate(port), QSslCertificate::fromPath(ec.filePath("cert.pem")).first().digest());

    QVERIFY(writeFile(live.filePath("key.pem"), "no key"));
    ::kill(pid_t(agent.pid()), SIGHUP);
    const QByteArray kept = "[-] the HTTPS certificate and key are not read again, the pair in use stays: ";
    QTRY_VERIFY(agent.standardError.contains(kept));
    QCOMPARE(servedCertificate(port), QSslCertificate::fromPath(ec.filePath("cert.pem")).first().digest());
    QCOMPARE(agent.standardError.count(kept), 1);
    QVERIFY(readFile(agent.workPath() + "/debug-log.txt").contains(kept));
}

// openssl s_client with these options sends the request, then reads until the
// agent closes; what it printed, the session summary included.
static QByteArray sClient(quint16 port, const QStringList &options, const QByteArray &request)
{
    QProcess client;
    client.start(QStringLiteral("openssl"), QStringList{QStringLiteral("s_client"), QStringLiteral("-connect"),
                                                        QStringLiteral("127.0.0.1:%1").arg(port),
                                                        QStringLiteral("-ign_eof")} + options);
    client.write(request);
    client.closeWriteChannel();
    if (!client.waitForFinished(20000))
        client.kill();
    return client.readAllStandardOutput();
}

void tst_Tls::openSslClient_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("resumes");
    QTest::addColumn<bool>("answered");
    const QString old = QStringLiteral("DEFAULT@SECLEVEL=0");
    QTest::newRow("tls1_3_resumes") << QStringList{QStringLiteral("-tls1_3")} << true << true;
    QTest::newRow("tls1_2_ticket_resumes") << QStringList{QStringLiteral("-tls1_2")} << true << true;
    QTest::newRow("tls1_2_session_cache_resumes") << QStringList{QStringLiteral("-tls1_2"), QStringLiteral("-no_ticket")}
                                                  << true << true;
    QTest::newRow("tls1_1_refused") << QStringList{QStringLiteral("-tls1_1"), QStringLiteral("-cipher"), old} << false << false;
    QTest::newRow("tls1_2_without_ecdhe_refused") << QStringList{QStringLiteral("-tls1_2"), QStringLiteral("-cipher"),
                                                                 QStringLiteral("AES128-GCM-SHA256")} << false << false;
}

// A client that offers its session again resumes it, as the client itself
// reports; what TLS 1.2 without ECDHE or anything older offers is refused.
void tst_Tls::openSslClient()
{
    QFETCH(QStringList, options);
    QFETCH(bool, resumes);
    QFETCH(bool, answered);
    Agent agent;
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, QStringLiteral("uid"), tlsSettings(ec.path())), QString());
    const quint16 port = quint16(agent.values.value(QStringLiteral("https/port")).toUInt());
    QTemporaryDir dir;
    const QString session = dir.filePath(QStringLiteral("session.pem"));
    QByteArray first, second;
    // Errors other uses of OpenSSL leave on this thread, between any two events, are not the connection's.
    QTimer litter;
    QObject::connect(&litter, &QTimer::timeout, [] { ERR_raise(ERR_LIB_SSL, ERR_R_INTERNAL_ERROR); });
    litter.start(0);
    std::atomic<bool> done{false};
    std::thread clients([&] { // the agent's loop runs meanwhile
        first = sClient(port, options + QStringList{QStringLiteral("-sess_out"), session}, checkRequest("alice", "Zq9secret"));
        second = sClient(port, options + QStringList{QStringLiteral("-sess_in"), session}, checkRequest("alice", "wrong"));
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done, 45000);
    clients.join();
    QVERIFY2(first.contains("\nNew, "), first);
    QCOMPARE(first.contains(found("u-17")), answered);
    QCOMPARE(second.contains(notFound()), answered);
    QVERIFY2(second.contains("\nReused, ") == resumes, second);
}

void tst_Tls::silentConnectionsTimeOut_data()
{
    QTest::addColumn<QByteArray>("sent"); // before the handshake; "<handshake>": a whole handshake
    QTest::newRow("nothing") << QByteArray();
    QTest::newRow("half_a_record_header") << QByteArray::fromHex("1603");
    QTest::newRow("handshake_without_request") << QByteArray("<handshake>");
}

// As on the plain port: a connection that never completes its handshake, or
// its request, is closed after the request time-out, without an answer, while
// a check on another connection is answered.
void tst_Tls::silentConnectionsTimeOut()
{
    QFETCH(QByteArray, sent);
    Agent agent;
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, QStringLiteral("uid"), tlsSettings(ec.path())), QString());
    const quint16 port = quint16(agent.values.value(QStringLiteral("https/port")).toUInt());
    QSslSocket client;
    client.setPeerVerifyMode(QSslSocket::VerifyNone);
    QElapsedTimer clock;
    clock.start();
    if (sent == "<handshake>") {
        client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        QTRY_VERIFY_WITH_TIMEOUT(client.isEncrypted(), 5000); // the agent runs on this loop
    } else {
        client.connectToHost(QStringLiteral("127.0.0.1"), port);
        QVERIFY(client.waitForConnected(5000));
        client.write(sent);
    }
    QCOMPARE(tlsExchange(port, checkRequest("alice", "Zq9secret"), QDir(ec.path()).filePath(QStringLiteral("cert.pem"))),
             found("u-17"));
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 10000);
    QVERIFY2(clock.elapsed() >= ShortLimits::RequestTimeoutMs, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(client.readAll(), QByteArray());
}

void tst_Tls::answerNotLostToResetWhileClientStillSends_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QStringList>("method"); // curl's option for it, if any
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("expected");
#define ROW(name, tls, method, target, expected) \
    QTest::newRow(name) << tls << QStringList(method) << QStringLiteral(target) << QByteArray(expected)
    const QStringList get = {QStringLiteral("-X"), QStringLiteral("GET")};
    const char *found = "{\"rez\":\"exist\",\"userid\":\"u-17\"}\n";
    const char *notFound = "{\"rez\":\"notfount\",\"e\":\"n\"}\n";
    ROW("plain_check_with_a_body", false, get, "/t/check?username=alice&password=Zq9secret", found);
    ROW("tls_check_with_a_body", true, get, "/t/check?username=alice&password=Zq9secret", found);
    ROW("plain_form_over_its_limit", false, QStringList(), "/t/check", notFound);
    ROW("tls_form_over_its_limit", true, QStringList(), "/t/check", notFound);
#undef ROW
}

// The agent answers at the request line, while curl is still sending a body
// the check does not read. Over a path with a delay and a window wider than
// the agent reads at once, the answer is judged with more of the body already
// in; closing on those unread bytes would reset the connection and throw the
// answer away (curl: "Recv failure: Connection reset by peer"), or reset a
// client still sending. On both ports the whole answer and a clean end arrive.
void tst_Tls::answerNotLostToResetWhileClientStillSends()
{
    QFETCH(bool, tls);
    QFETCH(QStringList, method);
    QFETCH(QString, target);
    QFETCH(QByteArray, expected);
    constexpr int DelayMs = 25, WindowBytes = 256 * 1024, BodyBytes = 1 << 20;
    Agent agent;
    QCOMPARE(startOnSqlite(agent, usersTable(), CheckStatement, QStringLiteral("uid"), tlsSettings(rsa.path())), QString());
    DelayedPath path(tls ? agent.port(QStringLiteral("https/port")) : agent.httpPort(), DelayMs, WindowBytes);
    QVERIFY(path.port() != 0);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("body")), QByteArray(BodyBytes, 'x')));

    const ProgramRun curl = runProgram(QStringLiteral("curl"), method + QStringList{QStringLiteral("-sS"), QStringLiteral("-H"), QStringLiteral("Expect:"),
                                       QStringLiteral("--data-binary"), '@' + dir.filePath(QStringLiteral("body")), QStringLiteral("--cacert"),
                                       QDir(rsa.path()).filePath(QStringLiteral("cert.pem")),
                                       QStringLiteral("%1://127.0.0.1:%2%3").arg(tls ? "https" : "http").arg(path.port()).arg(target)});
    QCOMPARE(curl.err, QByteArray());
    QCOMPARE(curl.exitCode, 0);
    QCOMPARE(curl.out, expected);
    QCOMPARE(path.relay.resetsToClients(), 0);
}

QTEST_MAIN(tst_Tls)
#include "tst_tls.moc"
