#include "app/operatorbox.h"
#include "net/lookup.h"
#include "net/lookupqueue.h"
#include "support/agent.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"

#include <QMessageBox>
#include <QtTest>

namespace {

const QString Lookup42 = QStringLiteral("select yres_id, yres_name from yres where yres_id=%1");

QStringList rows()
{
    return {
        "create table yres(yres_id integer, yres_name text)",
        "insert into yres values(42, 'answer')",
        "insert into yres values(7, 'seven')",
    };
}

// An agent on the yres rows with its messages captured and its boxes
// dismissed (each left open holdMs first); what start-up showed is cleared.
struct Rig
{
    explicit Rig(const QString &statement = Lookup42, const QString &retParam = "YRES_NAME", int holdMs = 0,
                 const AgentLimits &limits = shortLimits())
        : agent(limits)
    {
        boxes.setHoldMs(holdMs);
        databaseError = startOnSqlite(agent, rows(), statement, retParam);
        boxes.boxes.clear();
        messages.clear();
    }
    quint16 port() const { return agent.lookupPort(); }

    MessageCapture messages;
    Agent agent;
    BoxDismisser &boxes = agent.boxes;
    QString databaseError;
};

// The queue alone on a loopback listener, its lookup a function of the test.
struct QueueRig : LookupQueue::Looker
{
    using Lookup = std::function<void(const QString &, Done)>;
    explicit QueueRig(Lookup lookupBy) : run(std::move(lookupBy)), queue(screen, *this, shortLimits().lookup)
    {
        queue.attach(&listener);
        QObject::connect(&listener, &QTcpServer::newConnection, &queue, &LookupQueue::takeNext);
        listening = listener.listen(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return listener.serverPort(); }
    void lookup(const QString &input, Done done) override { run(input, done); }

    Lookup run;
    BoxDismisser boxes;
    Operator::Boxes screen{nullptr};
    LookupQueue queue;
    QTcpServer listener;
    bool listening = false;
};

} // namespace

class tst_Lookup : public QObject
{
    Q_OBJECT

private slots:
    // the wire format, without sockets
    void encodeReply_data();
    void encodeReply();
    void decodeInput_data();
    void decodeInput();

    // end to end, boxes dismissed
    void lookup_data();
    void lookup();
    void missingResultColumnRepliesNullString();
    void statementWithoutPlaceholderRunsUnchanged();
    void rejectedStatementShowsErrorAndRepliesNone();
    void inputSentLateIsWaitedFor();
    void silentClientIsServedAfterInputWait();
    void threeClientsServedInArrivalOrder();
    void clientGoneWhileBoxOpenIsNotTouched();
    void burstOfClientsQueuedNotNested();

    // the queue alone, with a lookup that reports later
    void outcomeReportedLaterIsReplied();
};

void tst_Lookup::encodeReply_data()
{
    QTest::addColumn<QString>("result");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("none") << "none" << hexBytes("00 00 00 08 00 6E 00 6F 00 6E 00 65");
    QTest::newRow("digits_123") << "123" << hexBytes("00 00 00 06 00 31 00 32 00 33");
    QTest::newRow("null_string") << QString() << hexBytes("FF FF FF FF");
    QTest::newRow("empty_string") << QString("") << hexBytes("00 00 00 00");
    QTest::newRow("latin_letter") << QString::fromUtf8("\xc3\xa4") << hexBytes("00 00 00 02 00 E4");
    QTest::newRow("surrogate_pair") << QString::fromUtf8("\xf0\x9f\x98\x80") << hexBytes("00 00 00 04 D8 3D DE 00");
}

void tst_Lookup::encodeReply()
{
    QFETCH(QString, result);
    QFETCH(QByteArray, bytes);
    QCOMPARE(Lookup::encodeReply(result).toHex(), bytes.toHex());
}

void tst_Lookup::decodeInput_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("input");

    QTest::newRow("digits") << QByteArray("42") << "42";
    QTest::newRow("cut_at_nul") << QByteArray("42\0more", 7) << "42";
    QTest::newRow("not_trimmed") << QByteArray(" 42\r\n") << " 42\r\n";
    QTest::newRow("utf8") << QByteArray("\xc3\xa4") << QString::fromUtf8("\xc3\xa4");
    QTest::newRow("nothing") << QByteArray() << "";
    QTest::newRow("nul_first") << QByteArray("\0x", 2) << "";
}

void tst_Lookup::decodeInput()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, input);
    const QString decoded = Lookup::decodeInput(bytes);
    QCOMPARE(decoded, input);
    QVERIFY(!decoded.isNull()); // bound as a string, never as NULL
}

void tst_Lookup::lookup_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("shownInput");
    QTest::addColumn<QString>("result");

    QTest::newRow("row_named_by_client") << QByteArray("42") << "42" << "answer";
    QTest::newRow("other_row") << QByteArray("7") << "7" << "seven";
    QTest::newRow("no_row") << QByteArray("99") << "99" << "none";
    QTest::newRow("bytes_after_nul_ignored") << QByteArray("42\0junk", 7) << "42" << "answer";
    QTest::newRow("sql_text_is_a_value") << QByteArray("42 or 1=1") << "42 or 1=1" << "none";
}

void tst_Lookup::lookup()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, shownInput);
    QFETCH(QString, result);

    Rig rig;
    QCOMPARE(rig.databaseError, QString());

    QCOMPARE(exchange(rig.port(), input).toHex(), Lookup::encodeReply(result).toHex());
    QCOMPARE(rig.boxes.texts(), QStringList({"In param: " + shownInput, "Return param: " + result}));
    for (const BoxDismisser::Box &box : qAsConst(rig.boxes.boxes)) {
        QCOMPARE(box.title, QString("TOVR/MERK SQL Agent (checker)"));
        QCOMPARE(box.icon, int(QMessageBox::Information));
    }
    if (result != "none") {
        QVERIFY(rig.messages.containsDebug("0 : \"yres_id\" = \"" + shownInput + "\" \n"));
        QVERIFY(rig.messages.containsDebug("1 : \"yres_name\" = \"" + result + "\" \n"));
    }
}

void tst_Lookup::missingResultColumnRepliesNullString()
{
    Rig rig(Lookup42, "nosuch");

    QCOMPARE(exchange(rig.port(), "42").toHex(), QByteArray("ffffffff"));
    QCOMPARE(rig.boxes.texts(), QStringList({"In param: 42", "Return param: "}));
}

void tst_Lookup::statementWithoutPlaceholderRunsUnchanged()
{
    Rig rig("select yres_name from yres where yres_id=7");

    QCOMPARE(exchange(rig.port(), "42").toHex(), Lookup::encodeReply("seven").toHex());
    QCOMPARE(rig.boxes.texts(), QStringList({"In param: 42", "Return param: seven"}));
}

void tst_Lookup::rejectedStatementShowsErrorAndRepliesNone()
{
    const QString statement = "select nosuch from missing where x=%1";
    Rig rig(statement);

    QCOMPARE(exchange(rig.port(), "42").toHex(), hexBytes("00 00 00 08 00 6E 00 6F 00 6E 00 65").toHex());

    QCOMPARE(rig.boxes.boxes.size(), 2);
    QCOMPARE(rig.boxes.boxes[0].text, QString("In param: 42"));
    QCOMPARE(rig.boxes.boxes[1].icon, int(QMessageBox::Critical));
    QCOMPARE(rig.boxes.boxes[1].title, QString("TOVR/MERK SQL Agent (checker)"));
    const QString b2 = rig.boxes.boxes[1].text;
    const QString prefix = "Unable to execute query: " + statement + "\nquery.lastError=";
    QVERIFY2(b2.startsWith(prefix), qPrintable(b2));
    const QString error = b2.mid(prefix.size());
    QVERIFY(!error.isEmpty());

    const QStringList debug = rig.messages.debug();
    const int e1 = rig.messages.indexOfDebug("[e] q.le= \"" + error + "\"");
    QVERIFY(e1 >= 0);
    const QRegularExpression stamp("^\"\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d \" ");
    QVERIFY(stamp.match(debug.value(e1 + 1)).hasMatch());
    QCOMPARE(debug.value(e1 + 1).mid(23), "[e] Unable to execute test query:  \"" + statement + "\" \n");
    QVERIFY(stamp.match(debug.value(e1 + 2)).hasMatch());
    QCOMPARE(debug.value(e1 + 2).mid(23), "[e] query.lastError= \"" + error + "\" \n");
}

// The program's own wait, so the pause below is well inside it.
void tst_Lookup::inputSentLateIsWaitedFor()
{
    Rig rig(Lookup42, "YRES_NAME", 0, AgentLimits());

    Client client(rig.port());
    QTRY_VERIFY(client.socket.state() == QAbstractSocket::ConnectedState);
    QTest::qWait(300); // the client's text comes a while after its connection
    QVERIFY(rig.boxes.boxes.isEmpty());
    client.socket.write("42");
    QTRY_VERIFY(client.closed);
    QCOMPARE(rig.boxes.texts(), QStringList({"In param: 42", "Return param: answer"}));
    QCOMPARE(client.received.toHex(), Lookup::encodeReply("answer").toHex());
}

void tst_Lookup::silentClientIsServedAfterInputWait()
{
    Rig rig;

    const int waitMs = rig.agent.limits.lookup.inputWaitMs;
    Client client(rig.port());
    QTRY_VERIFY_WITH_TIMEOUT(client.closed, waitMs + 5000);
    // A coarse timer may fire up to 5% early.
    QVERIFY2(client.closedAfterMs >= waitMs * 95 / 100, qPrintable(QString::number(client.closedAfterMs)));
    QCOMPARE(rig.boxes.texts(), QStringList({"In param: ", "Return param: none"}));
    QCOMPARE(client.received.toHex(), Lookup::encodeReply("none").toHex());
}

void tst_Lookup::threeClientsServedInArrivalOrder()
{
    Rig rig(Lookup42, "YRES_NAME", 50);

    const QList<QByteArray> inputs = {"42", "99", "7"};
    std::vector<std::unique_ptr<Client>> clients;
    for (const QByteArray &input : inputs) {
        clients.push_back(std::make_unique<Client>(rig.port(), input));
        QTRY_VERIFY(clients.back()->socket.state() == QAbstractSocket::ConnectedState);
    }
    QTRY_VERIFY(allClosed(clients));
    // Each lookup's two boxes before the next one's: served in turn, not inside one another.
    QCOMPARE(rig.boxes.texts(), QStringList({"In param: 42", "Return param: answer", "In param: 99",
                                         "Return param: none", "In param: 7", "Return param: seven"}));
    QCOMPARE(clients[0]->received.toHex(), Lookup::encodeReply("answer").toHex());
    QCOMPARE(clients[1]->received.toHex(), Lookup::encodeReply("none").toHex());
    QCOMPARE(clients[2]->received.toHex(), Lookup::encodeReply("seven").toHex());
}

void tst_Lookup::clientGoneWhileBoxOpenIsNotTouched()
{
    Rig rig(Lookup42, "YRES_NAME", 300);

    // The test's own code is held up under the boxes' event loops; the client
    // leaves from a timer that runs inside them, as soon as B1 is up.
    auto leaving = std::make_unique<Client>(rig.port(), "42");
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        if (rig.boxes.boxes.size() == 1 && leaving) {
            leaving->socket.abort();
            leaving.reset();
        }
    });
    watch.start(5);
    QTRY_COMPARE(rig.boxes.boxes.size(), 2);
    QVERIFY(!leaving);
    // The agent's end of the connection freed itself.
    QTRY_VERIFY(rig.agent.inspect().tcpServer()->findChildren<QTcpSocket *>().isEmpty());
    QCOMPARE(rig.boxes.texts(), QStringList({"In param: 42", "Return param: answer"}));
    // A write to a closed or freed socket would be reported by QIODevice, or crash.
    for (const QString &warning : rig.messages.warnings())
        QVERIFY2(!warning.contains("QIODevice") && !warning.contains("Socket"), qPrintable(warning));

    rig.boxes.setHoldMs(0);
    QCOMPARE(exchange(rig.port(), "7").toHex(), Lookup::encodeReply("seven").toHex());
}

void tst_Lookup::burstOfClientsQueuedNotNested()
{
    Rig rig;

    constexpr int count = 150;
    QVector<QByteArray> inputs;
    for (int i = 0; i < count; ++i)
        inputs << (i % 2 ? "7" : "42");
    const QVector<QByteArray> replies = answersTo(rig.port(), inputs, count, 60000);
    for (int i = 0; i < count; ++i)
        QCOMPARE(replies[i].toHex(), Lookup::encodeReply(i % 2 ? "seven" : "answer").toHex());
    const QStringList texts = rig.boxes.texts();
    QCOMPARE(texts.size(), 2 * count);
    for (int i = 0; i < texts.size(); i += 2) {
        QVERIFY2(texts[i].startsWith("In param: "), qPrintable(texts[i]));
        QVERIFY2(texts[i + 1].startsWith("Return param: "), qPrintable(texts[i + 1]));
    }
}

// A pooled executor reports after submit has returned: the queue stays in its
// statement state, the client waits, and the outcome is shown and replied.
void tst_Lookup::outcomeReportedLaterIsReplied()
{
    QString asked;
    std::function<void(const LookupQueue::Outcome &)> report;
    QueueRig rig([&](const QString &input, auto done) {
        asked = input;
        report = std::move(done);
    });
    QVERIFY2(rig.listening, qPrintable(rig.listener.errorString()));

    Client client(rig.port(), "42");
    QTRY_VERIFY(report);
    QCOMPARE(asked, QString("42"));
    QCOMPARE(int(rig.queue.state()), int(LookupQueue::State::Statement));
    QCOMPARE(rig.boxes.texts(), QStringList({"In param: 42"}));
    QVERIFY(!client.closed);

    LookupQueue::Outcome outcome;
    outcome.ok = true;
    outcome.result = QStringLiteral("answer");
    report(outcome);
    QVERIFY(client.waitClosed());
    QCOMPARE(client.received.toHex(), Lookup::encodeReply("answer").toHex());
    QCOMPARE(rig.boxes.texts(), QStringList({"In param: 42", "Return param: answer"}));
    QCOMPARE(int(rig.queue.state()), int(LookupQueue::State::Idle));
}

QTEST_MAIN(tst_Lookup)
#include "tst_lookup.moc"
