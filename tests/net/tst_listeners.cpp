#include "net/listeners.h"
#include "net/lookup.h"
#include "support/agent.h"
#include "support/wireclient.h"

#include <QLabel>
#include <QMessageBox>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QtTest>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

// QObject::receivers is protected; a pointer to it formed through a derived
// class may be applied to any QObject.
struct SignalReceivers : QObject
{
    static int count(const QObject *object, const char *signal)
    {
        return (object->*(&SignalReceivers::receivers))(signal);
    }
};

// The text QTcpServer gives for listening on a port that is taken.
QString portTakenError(quint16 port)
{
    QTcpServer second;
    second.listen(QHostAddress::Any, port);
    return second.errorString();
}

// Starts a non-blocking connect per socket to port on loopback and waits up to
// waitMs for the handshakes; returns how many completed. The descriptors are
// closed again before it returns.
int handshakesCompleted(quint16 port, int sockets, int waitMs)
{
    std::vector<pollfd> fds;
    for (int i = 0; i < sockets; ++i) {
        const int fd = connectTo(port, false);
        if (fd < 0)
            break;
        fds.push_back(pollfd{fd, POLLOUT, 0});
    }
    QElapsedTimer clock;
    clock.start();
    std::vector<bool> done(fds.size(), false);
    int completed = 0;
    while (completed < int(fds.size()) && clock.elapsed() < waitMs) {
        for (pollfd &p : fds)
            p.revents = 0;
        ::poll(fds.data(), nfds_t(fds.size()), 20);
        for (size_t i = 0; i < fds.size(); ++i) {
            int error = 0;
            socklen_t length = sizeof error;
            if (!done[i] && (fds[i].revents & POLLOUT)
                && ::getsockopt(fds[i].fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
                done[i] = true;
                fds[i].events = 0; // nothing more to wait for on this one
                ++completed;
            }
        }
    }
    for (const pollfd &p : fds)
        ::close(p.fd);
    return completed;
}

} // namespace

class tst_Listeners : public QObject
{
    Q_OBJECT

private slots:
    // pure rules
    void statusAddress_data();
    void statusAddress();
    void portInRange_data();
    void portInRange();

    // the real listeners
    void eachListenerConnectedOnce();
    void apibPortTakenShowsBoxAndNoHttpListener();
    void httpPortTakenLeavesApibServingAndShowsPortZero();
    void portOutOfRangeIsRefused_data();
    void portOutOfRangeIsRefused();
    void acceptResumesAfterRunningOutOfDescriptors_data();
    void acceptResumesAfterRunningOutOfDescriptors();
    void burstBeyondQtsBacklogIsQueuedNotDropped_data();
    void burstBeyondQtsBacklogIsQueuedNotDropped();
};

void tst_Listeners::statusAddress_data()
{
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QString>("shown");

    QTest::newRow("nothing") << QStringList() << "127.0.0.1";
    QTest::newRow("loopback_only") << QStringList{"127.0.0.1", "::1"} << "127.0.0.1";
    QTest::newRow("ipv6_only") << QStringList{"::1", "fe80::1", "2001:db8::1"} << "127.0.0.1";
    QTest::newRow("first_ipv4_in_order") << QStringList{"127.0.0.1", "::1", "192.168.1.5", "10.0.0.2"}
                                         << "192.168.1.5";
    QTest::newRow("unspecified_ipv4_skipped") << QStringList{"0.0.0.0", "10.0.0.2"} << "10.0.0.2";
    QTest::newRow("other_loopback_ipv4_counts") << QStringList{"127.0.1.1", "192.168.1.5"} << "127.0.1.1";
}

void tst_Listeners::statusAddress()
{
    QFETCH(QStringList, addresses);
    QFETCH(QString, shown);
    QList<QHostAddress> list;
    for (const QString &a : addresses)
        list << QHostAddress(a);
    QCOMPARE(Net::statusAddress(list), shown);
}

void tst_Listeners::portInRange_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("inRange");

    QTest::newRow("minus_one") << -1 << false;
    QTest::newRow("zero_any_free_port") << 0 << true;
    QTest::newRow("default_http") << 8880 << true;
    QTest::newRow("highest") << 65535 << true;
    QTest::newRow("one_over") << 65536 << false;
    QTest::newRow("70000_would_wrap_to_4464") << 70000 << false;
}

void tst_Listeners::portInRange()
{
    QFETCH(int, port);
    QFETCH(bool, inRange);
    QCOMPARE(Net::portInRange(port), inRange);
}

void tst_Listeners::eachListenerConnectedOnce()
{
    StartedAgent agent(quietAgentSettings());
    QVERIFY(agent.messages.containsDebug("\"[+] http start!\""));
    QVERIFY(agent.s.tcpServer()->isListening() && agent.s.httpServer()->isListening());
    QCOMPARE(SignalReceivers::count(agent.s.tcpServer(), SIGNAL(newConnection())), 1);
    QCOMPARE(SignalReceivers::count(agent.s.httpServer(), SIGNAL(newConnection())), 1);
}

void tst_Listeners::apibPortTakenShowsBoxAndNoHttpListener()
{
    QTcpServer blocker;
    QVERIFY(blocker.listen(QHostAddress::Any, 0));
    StartedAgent agent(quietAgentSettings({{"server/port", QString::number(blocker.serverPort())}}));

    QCOMPARE(agent.boxes.boxes.size(), 1);
    QCOMPARE(agent.boxes.boxes[0].title, QString("TOVR/MERK SQL Agent (checker)"));
    QCOMPARE(agent.boxes.boxes[0].icon, int(QMessageBox::Critical));
    QCOMPARE(agent.boxes.boxes[0].text, "Unable to start the server: " + portTakenError(blocker.serverPort()) + ".");
    // Said on the debug output too, for a service nobody watches.
    const QString port = QString::number(blocker.serverPort());
    QCOMPARE(agent.messages.debugStartingWith("[-] the lookup listener"),
             QStringList("[-] the lookup listener cannot listen on port " + port + ": " + portTakenError(blocker.serverPort())));
    QCOMPARE(agent.messages.debugStartingWith("[box] "),
             QStringList("[box] TOVR/MERK SQL Agent (checker): " + agent.boxes.boxes[0].text));
    QVERIFY(!agent.s.httpServer());
    QCOMPARE(agent.s.statusLabel()->text(), QString());
}

void tst_Listeners::httpPortTakenLeavesApibServingAndShowsPortZero()
{
    QTcpServer blocker;
    QVERIFY(blocker.listen(QHostAddress::Any, 0));
    StartedAgent agent(quietAgentSettings({{"http/port", QString::number(blocker.serverPort())}}));

    QVERIFY(agent.messages.containsDebug("\"[-] Unable to start HTTP server: " + portTakenError(blocker.serverPort()) + ".\""));
    QVERIFY(agent.messages.containsDebug("[-] the HTTP listener cannot listen on port " + QString::number(blocker.serverPort())
                                         + ": " + portTakenError(blocker.serverPort())));
    QVERIFY(agent.s.statusLabel()->text().endsWith("\nThe HTTP is running IP: " + Net::statusAddress(QNetworkInterface::allAddresses())
                                             + " port: 0"));
    QVERIFY(agent.s.tcpServer()->isListening());

    // The lookup still answers (the quiet settings' statement fails: "none").
    agent.boxes.boxes.clear();
    QCOMPARE(exchange(agent.port("server/port"), "42").toHex(), Lookup::encodeReply("none").toHex());
}

void tst_Listeners::portOutOfRangeIsRefused_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("port");

    QTest::newRow("apib_70000") << "server/port" << "70000";
    QTest::newRow("apib_minus_1") << "server/port" << "-1";
    QTest::newRow("http_70000") << "http/port" << "70000";
    QTest::newRow("http_65536") << "http/port" << "65536";
}

void tst_Listeners::portOutOfRangeIsRefused()
{
    QFETCH(QString, key);
    QFETCH(QString, port);

    StartedAgent agent(quietAgentSettings({{key, port}}));

    const QString why = "port " + port + " is out of range.";
    if (key == "server/port") {
        QCOMPARE(agent.boxes.texts(), QStringList{"Unable to start the server: " + why});
        QVERIFY(!agent.s.tcpServer()->isListening());
        QVERIFY(!agent.s.httpServer());
    } else {
        QVERIFY(agent.boxes.boxes.isEmpty());
        QVERIFY(agent.messages.containsDebug("\"[-] Unable to start HTTP server: " + why + "\""));
        QVERIFY(!agent.s.httpServer()->isListening());
        QVERIFY(agent.s.statusLabel()->text().endsWith(" port: 0"));
        QVERIFY(agent.s.tcpServer()->isListening());
    }
}

void tst_Listeners::acceptResumesAfterRunningOutOfDescriptors_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");

    QTest::newRow("http") << "http/port" << QByteArray("x\r\n")
                          << QByteArray("HTTP/1.0 200 Ok\r\nContent-Type: text/html; charset=\"utf-8\"\r\n\r\n"
                                        "{\"rez\":\"notfount\",\"e\":\"n\"}\n");
    QTest::newRow("apib") << "server/port" << QByteArray("42") << Lookup::encodeReply("none");
}

void tst_Listeners::acceptResumesAfterRunningOutOfDescriptors()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);

    StartedAgent agent(quietAgentSettings());
    QTcpServer *listener = key == "http/port" ? agent.s.httpServer() : agent.s.tcpServer();
    // Not a QSignalSpy: under UBSan its first virtual call would make the
    // sanitizer open a pipe, which fails while descriptors are short.
    QVector<QAbstractSocket::SocketError> acceptErrors;
    connect(listener, &QTcpServer::acceptError, this,
            [&acceptErrors](QAbstractSocket::SocketError error) { acceptErrors << error; });

    // UBSan checks a virtual call's type the first time it meets it, through a
    // pipe; while descriptors are short that fails and reads as a bad object.
    // The panel is drawn now, so its timed drawing below is not the first.
    // (No exchange first: after an accept has once found the queue empty,
    // Qt 5 reports no accept error, only retries.)
    agent.s.panelLines();

    // Room for the client's descriptor and not one more: the agent's accept fails.
    DescriptorLimit limit;
    QVERIFY(limit.setTo(rlim_t(lowestFreeDescriptor()) + 1));
    Client client(agent.port(key), request);
    QTRY_VERIFY(acceptErrors.count() >= 1);
    QCOMPARE(acceptErrors.first(), QAbstractSocket::SocketResourceError);
    QTest::qWait(Net::AcceptRetryMs * 2); // retries while descriptors stay short fail again
    QVERIFY(!client.closed);

    limit.restore();
    QTRY_VERIFY_WITH_TIMEOUT(client.closed, Net::AcceptRetryMs + 1500);
    QCOMPARE(client.received.toHex(), answer.toHex());
}

void tst_Listeners::burstBeyondQtsBacklogIsQueuedNotDropped_data()
{
    QTest::addColumn<QString>("key");
    QTest::newRow("http") << QStringLiteral("http/port");
    QTest::newRow("apib") << QStringLiteral("server/port");
}

// QTcpServer's own backlog is 50: the 51st client of a burst that arrives while
// the agent is busy gets no handshake until its SYN is sent again, a second
// later. The agent is not given the event loop here, so every handshake below
// is the system's, from the listener's backlog.
void tst_Listeners::burstBeyondQtsBacklogIsQueuedNotDropped()
{
    QFETCH(QString, key);
    StartedAgent agent(quietAgentSettings());
    const int burst = 200;
    // Under the 1 s SYN retransmission, so only the backlog can complete them.
    const int waitMs = 700;
    QCOMPARE(handshakesCompleted(agent.port(key), burst, waitMs), burst);
}

QTEST_MAIN(tst_Listeners)
#include "tst_listeners.moc"
