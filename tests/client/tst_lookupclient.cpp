#include "client/lookupclient.h"
#include "support/testsupport.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

// The tovr_merk_lookup binary against a small listener in the test that answers
// the way the agent's lookup service does: it waits for the client's text,
// writes its bytes and closes, or misbehaves in one chosen way.
class FakeLookupService : public QObject
{
    Q_OBJECT

public:
    enum Mode {
        ReplyAndClose, // the agent's way
        ReplyKeepOpen, // the whole reply, but the connection stays open
        CloseAtOnce,   // closes before writing anything
        Silent         // reads, never answers (an operator who never dismisses the box)
    };

    explicit FakeLookupService(QObject *parent = nullptr) : QObject(parent)
    {
        connect(&m_listener, &QTcpServer::newConnection, this, &FakeLookupService::take);
        QVERIFY2(m_listener.listen(QHostAddress::LocalHost, 0),
                 qPrintable(m_listener.errorString()));
    }

    quint16 port() const { return m_listener.serverPort(); }
    QByteArray reply;
    Mode mode = ReplyAndClose;
    QByteArray received;

private:
    void take()
    {
        while (QTcpSocket *socket = m_listener.nextPendingConnection()) {
            connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QIODevice::readyRead, this, [this, socket] {
                received += socket->readAll();
                switch (mode) {
                case ReplyAndClose:
                    socket->write(reply);
                    socket->disconnectFromHost();
                    break;
                case ReplyKeepOpen:
                    socket->write(reply);
                    break;
                case CloseAtOnce:
                    socket->disconnectFromHost();
                    break;
                case Silent:
                    break;
                }
            });
        }
    }
    QTcpServer m_listener;
};

class tst_LookupClient : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void sendsTextAsUtf8();
    void refusedConnection();
    void usageErrors_data();
    void usageErrors();
    void helpListsEveryExitCode();
};

Q_DECLARE_METATYPE(FakeLookupService::Mode)

// The client run to its end while the test's listener serves.
static ProgramRun runClient(const QStringList &args)
{
    return runProgram(QStringLiteral(LOOKUP_CLIENT_PATH), args, {}, 15000);
}

void tst_LookupClient::answers_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<FakeLookupService::Mode>("mode");
    QTest::addColumn<QString>("timeout");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("errContains");

    using F = FakeLookupService;
    QTest::newRow("value_123") << hexBytes("00 00 00 06 00 31 00 32 00 33") << F::ReplyAndClose << "10"
                               << ExitCode::Ok << QByteArray("123\n") << QByteArray();
    QTest::newRow("none") << hexBytes("00 00 00 08 00 6E 00 6F 00 6E 00 65") << F::ReplyAndClose << "10"
                          << ExitCode::Ok << QByteArray("none\n") << QByteArray();
    QTest::newRow("null_prints_nothing")
        << hexBytes("FF FF FF FF") << F::ReplyAndClose << "10" << ExitCode::Ok << QByteArray()
        << QByteArray("null string");
    QTest::newRow("empty_prints_empty_line") << hexBytes("00 00 00 00") << F::ReplyAndClose << "10"
                                             << ExitCode::Ok << QByteArray("\n") << QByteArray();
    QTest::newRow("non_ascii_as_utf8")
        << hexBytes("00 00 00 0C 00 4D 00 FC 00 6C 00 6C 00 65 00 72") << F::ReplyAndClose << "10"
        << ExitCode::Ok << QByteArray("M\xc3\xbcller\n") << QByteArray();
    QTest::newRow("complete_reply_without_close")
        << hexBytes("00 00 00 02 00 37") << F::ReplyKeepOpen << "10" << ExitCode::Ok
        << QByteArray("7\n") << QByteArray();

    QTest::newRow("odd_length") << hexBytes("00 00 00 03 00 31 00") << F::ReplyAndClose << "10"
                                << ExitCode::Malformed << QByteArray() << QByteArray("odd");
    QTest::newRow("oversized_length") << hexBytes("7F 00 00 00 00 31") << F::ReplyKeepOpen << "10"
                                      << ExitCode::Malformed << QByteArray()
                                      << QByteArray("more than");
    QTest::newRow("bytes_after_string")
        << hexBytes("00 00 00 02 00 31 FF") << F::ReplyAndClose << "10" << ExitCode::Malformed
        << QByteArray() << QByteArray("follow the string");

    QTest::newRow("truncated_text") << hexBytes("00 00 00 08 00 6E 00 6F") << F::ReplyAndClose << "10"
                                    << ExitCode::Truncated << QByteArray()
                                    << QByteArray("after 8 of the 12 bytes");
    QTest::newRow("truncated_prefix") << hexBytes("00 00") << F::ReplyAndClose << "10"
                                      << ExitCode::Truncated << QByteArray()
                                      << QByteArray("inside the 4-byte length");
    QTest::newRow("closed_without_reply") << QByteArray() << F::CloseAtOnce << "10"
                                          << ExitCode::Truncated << QByteArray()
                                          << QByteArray("before sending any reply");

    QTest::newRow("silent_times_out") << QByteArray() << F::Silent << "0.5" << ExitCode::TimedOut
                                      << QByteArray() << QByteArray("timed out after 0.5 s");
    QTest::newRow("partial_then_silent_times_out")
        << hexBytes("00 00 00 08 00 6E") << F::ReplyKeepOpen << "0.5" << ExitCode::TimedOut
        << QByteArray() << QByteArray("6 byte(s) received");
}

void tst_LookupClient::answers()
{
    QFETCH(QByteArray, reply);
    QFETCH(FakeLookupService::Mode, mode);
    QFETCH(QString, timeout);

    FakeLookupService service;
    service.reply = reply;
    service.mode = mode;
    const ProgramRun run = runClient({QStringLiteral("--port"), QString::number(service.port()),
                               QStringLiteral("--timeout"), timeout, QStringLiteral("1001")});
    QTEST(run.exitCode, "exitCode");
    QFETCH(QByteArray, out);
    QCOMPARE(run.out.toHex(' '), out.toHex(' '));
    QFETCH(QByteArray, errContains);
    if (errContains.isEmpty())
        QCOMPARE(run.err, QByteArray());
    else
        QVERIFY2(run.err.contains(errContains), run.err.constData());
    QCOMPARE(service.received, QByteArray("1001"));
}

void tst_LookupClient::sendsTextAsUtf8()
{
    FakeLookupService service;
    service.reply = hexBytes("00 00 00 00");
    const QString text = QStringLiteral("Gr\u00fc\u00dfe \u041c\u0438\u0440 42");
    const ProgramRun run = runClient({QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                               QStringLiteral("--port"), QString::number(service.port()), text});
    QCOMPARE(run.exitCode, ExitCode::Ok);
    QCOMPARE(service.received.toHex(' '), text.toUtf8().toHex(' '));
}

void tst_LookupClient::refusedConnection()
{
    const quint16 closed = freePort();
    QVERIFY(closed != 0);
    const ProgramRun run = runClient({QStringLiteral("--port"), QString::number(closed), QStringLiteral("x")});
    QCOMPARE(run.exitCode, ExitCode::ConnectFailed);
    QVERIFY2(run.err.contains("cannot connect to 127.0.0.1:" + QByteArray::number(closed)),
             run.err.constData());
    QVERIFY(run.out.isEmpty());
}

void tst_LookupClient::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no_text") << QStringList();
    QTest::newRow("two_texts") << QStringList{"a", "b"};
    QTest::newRow("port_zero") << QStringList{"--port", "0", "x"};
    QTest::newRow("port_too_big") << QStringList{"--port", "65536", "x"};
    QTest::newRow("port_not_a_number") << QStringList{"--port", "http", "x"};
    QTest::newRow("timeout_zero") << QStringList{"--timeout", "0", "x"};
    QTest::newRow("timeout_negative") << QStringList{"--timeout", "-1", "x"};
    QTest::newRow("timeout_not_a_number") << QStringList{"--timeout", "soon", "x"};
    QTest::newRow("empty_host") << QStringList{"--host", "", "x"};
    QTest::newRow("unknown_option") << QStringList{"--verbose", "x"};
}

void tst_LookupClient::usageErrors()
{
    QFETCH(QStringList, args);
    const ProgramRun run = runClient(args);
    QCOMPARE(run.exitCode, ExitCode::Usage);
    QVERIFY2(run.err.startsWith("tovr_merk_lookup: "), run.err.constData());
    QVERIFY(run.out.isEmpty());
}

void tst_LookupClient::helpListsEveryExitCode()
{
    const ProgramRun run = runClient({QStringLiteral("--help")});
    QCOMPARE(run.exitCode, ExitCode::Ok);
    for (int code : {ExitCode::Ok, ExitCode::Usage, ExitCode::ConnectFailed, ExitCode::TimedOut,
                     ExitCode::Malformed, ExitCode::Truncated})
        QVERIFY2(run.out.contains("\n  " + QByteArray::number(code) + "  "),
                 qPrintable(QString::number(code)));
    for (const char *option : {"--host", "--port", "--timeout"})
        QVERIFY2(run.out.contains(option), option);
}

QTEST_GUILESS_MAIN(tst_LookupClient)
#include "tst_lookupclient.moc"
