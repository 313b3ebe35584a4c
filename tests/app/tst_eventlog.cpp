#include "app/eventlog.h"
#include "app/panelfeed.h"
#include "support/agent.h"

#include <QRegularExpression>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QScrollBar>
#include <QtTest>

namespace {
// A panel drawn under the offscreen platform the tests run on.
const Panel::Limits Drawn = [] {
    Panel::Limits limits;
    limits.drawOffscreen = true;
    return limits;
}();
} // namespace

class tst_EventLog : public QObject
{
    Q_OBJECT

private slots:
    void timeStampPattern();
    void panelShowsMarkupLiterally_data();
    void panelShowsMarkupLiterally();
    void panelBatchesUntilFlush();
    void panelUnseenCostsNothingUntilShown();
    void panelFlushesByItself();
    void panelKeepsNewestParagraphs();
    void timedFlushesDrawBoundedBatchesInOrder();
    void timedFlushesTrimInBatches();
    void panelHasNoUndoHistory();
    void panelAppendsAfterOperatorTyping();
    void panelFollowsNewestUnlessScrolledUp();

    void logFileEmptiedAtStart();
    void logFileStartsInWorkingDirectory();
};

void tst_EventLog::timeStampPattern()
{
    const QString stamp = timeStamp();
    QCOMPARE(stamp.size(), 20);
    QVERIFY2(QRegularExpression("^\\d\\d\\.\\d\\d\\.\\d{4} ([01]\\d|2[0-3]):[0-5]\\d:[0-5]\\d $")
                 .match(stamp)
                 .hasMatch(),
             qPrintable(stamp));
    // 24-hour clock: a time just after midnight is 00, never 12 or 24.
    QCOMPARE(QDateTime(QDate(2026, 1, 2), QTime(0, 5, 9)).toString("dd.MM.yyyy hh:mm:ss "),
             QString("02.01.2026 00:05:09 "));
}

void tst_EventLog::panelShowsMarkupLiterally_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("bold_tag") << "s1: <b>admin</b>";
    QTest::newRow("html_document") << "<html><body><h1>x</h1></body></html>";
    QTest::newRow("entity") << "a &amp; b &lt;";
    QTest::newRow("image") << "<img src=\"file:///etc/passwd\">";
}

void tst_EventLog::panelShowsMarkupLiterally()
{
    QFETCH(QString, line);
    QTextEdit edit;
    PanelFeed feed(&edit, Drawn);
    edit.show();
    feed.append(line);
    feed.flush();
    QCOMPARE(edit.toPlainText(), line);
    QCOMPARE(edit.document()->blockCount(), 1);
}

void tst_EventLog::panelBatchesUntilFlush()
{
    QTextEdit edit;
    PanelFeed feed(&edit, Drawn);
    edit.show();
    feed.append("one");
    feed.append("two");
    QVERIFY(edit.document()->isEmpty());
    QCOMPARE(feed.queued(), 2);
    feed.flush();
    feed.append("three");
    feed.flush();
    QCOMPARE(edit.toPlainText(), QString("one\ntwo\nthree"));
    QCOMPARE(feed.queued(), 0);
}

void tst_EventLog::panelFollowsNewestUnlessScrolledUp()
{
    QTextEdit edit;
    edit.resize(300, 120);
    edit.show();
    QVERIFY(QTest::qWaitForWindowExposed(&edit));
    PanelFeed feed(&edit, Drawn);
    QScrollBar *bar = edit.verticalScrollBar();
    const auto add = [&](int count) {
        for (int i = 0; i < count; ++i)
            feed.append(QStringLiteral("line %1").arg(i));
        feed.flush();
    };
    add(100);
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum()); // follows

    bar->setValue(bar->maximum() / 2); // the operator reads something older
    const int reading = bar->value();
    add(50);
    QCOMPARE(bar->value(), reading);

    bar->setValue(bar->maximum()); // and scrolls back down
    add(50);
    QCOMPARE(bar->value(), bar->maximum());
}

// Nobody can see it: nothing is laid out; shown, it holds the newest lines in order.
void tst_EventLog::panelUnseenCostsNothingUntilShown()
{
    QTextEdit edit;
    PanelFeed feed(&edit, Drawn);
    const int total = Drawn.maxParagraphs + 1000;
    for (int i = 0; i < total; ++i)
        feed.append(QString::number(i));
    QTest::qWait(Drawn.flushIntervalMs * 2);
    QVERIFY(edit.document()->isEmpty());
    edit.show();
    QTRY_COMPARE(edit.document()->blockCount(), Drawn.maxParagraphs);
    QCOMPARE(edit.document()->firstBlock().text(), QString::number(total - Drawn.maxParagraphs));
    QCOMPARE(edit.document()->lastBlock().text(), QString::number(total - 1));
    QCOMPARE(feed.dropped(), quint64(0));
}

void tst_EventLog::panelFlushesByItself()
{
    QTextEdit edit;
    PanelFeed feed(&edit, Drawn);
    edit.show();
    feed.append("later");
    QTRY_COMPARE(edit.toPlainText(), QString("later"));
}

void tst_EventLog::panelKeepsNewestParagraphs()
{
    QTextEdit edit;
    PanelFeed feed(&edit, Drawn);
    edit.show();
    const int total = Panel::Limits().maxParagraphs + 1234;
    for (int i = 0; i < total; ++i) {
        feed.append(QString::number(i));
        if (i % 1000 == 999)
            feed.flush();
    }
    feed.flush();
    QTextDocument *doc = edit.document();
    QCOMPARE(doc->blockCount(), Panel::Limits().maxParagraphs);
    QCOMPARE(doc->firstBlock().text(), QString::number(total - Panel::Limits().maxParagraphs));
    QCOMPARE(doc->lastBlock().text(), QString::number(total - 1));

    // A queue that is never flushed keeps only its newest lines.
    const int appended = Panel::Limits().maxQueuedLines * 3;
    for (int i = 0; i < appended; ++i)
        feed.append(QStringLiteral("q%1").arg(i));
    QCOMPARE(feed.queued(), Panel::Limits().maxQueuedLines);
    feed.flush();
    QCOMPARE(doc->lastBlock().text(), QStringLiteral("q%1").arg(appended - 1));
    QCOMPARE(doc->findBlockByNumber(Panel::Limits().maxParagraphs - Panel::Limits().maxQueuedLines).text(),
             QStringLiteral("q%1").arg(appended - Panel::Limits().maxQueuedLines));
}

// The timer draws a bounded batch at a time, oldest first, until all are shown.
void tst_EventLog::timedFlushesDrawBoundedBatchesInOrder()
{
    QTextEdit edit;
    PanelFeed feed(&edit, Drawn);
    edit.show();
    const int total = Panel::Limits().maxLinesPerFlush * 2 + 100;
    for (int i = 0; i < total; ++i)
        feed.append(QString::number(i));
    QTRY_VERIFY(feed.queued() < total);
    QTextDocument *doc = edit.document();
    const int drawn = doc->blockCount();
    QCOMPARE(drawn + feed.queued(), total);
    QVERIFY2(drawn % Panel::Limits().maxLinesPerFlush == 0 || feed.queued() == 0, qPrintable(QString::number(drawn)));

    QTRY_COMPARE(feed.queued(), 0);
    QCOMPARE(doc->blockCount(), total);
    for (int i = 0; i < total; ++i)
        QCOMPARE(doc->findBlockByNumber(i).text(), QString::number(i));
}

// Timed flushes let the panel run over its cap by the slack, then cut it back
// to the cap in one go; an explicit flush always leaves exactly the cap.
void tst_EventLog::timedFlushesTrimInBatches()
{
    QTextEdit edit;
    PanelFeed feed(&edit, Drawn);
    edit.show();
    for (int i = 0; i < Panel::Limits().maxParagraphs; ++i) {
        feed.append(QStringLiteral("old"));
        if (feed.queued() == Panel::Limits().maxQueuedLines)
            feed.flush();
    }
    feed.flush();
    QTextDocument *doc = edit.document();
    QCOMPARE(doc->blockCount(), Panel::Limits().maxParagraphs);

    int next = 0;
    const auto appendTimed = [&](int count) {
        for (int i = 0; i < count; ++i)
            feed.append(QString::number(next++));
        QTRY_COMPARE(feed.queued(), 0);
    };
    appendTimed(Panel::Limits().maxLinesPerFlush);
    QCOMPARE(doc->blockCount(), Panel::Limits().maxParagraphs + Panel::Limits().maxLinesPerFlush);

    for (int round = 0; round < 4; ++round) {
        appendTimed(Panel::Limits().maxQueuedLines);
        QVERIFY(doc->blockCount() <= Panel::Limits().maxParagraphs + Panel::Limits().trimSlack);
        QCOMPARE(doc->lastBlock().text(), QString::number(next - 1));
    }
    QVERIFY(doc->blockCount() < Panel::Limits().maxParagraphs + 4 * Panel::Limits().maxQueuedLines);

    feed.append(QStringLiteral("last"));
    feed.flush();
    QCOMPARE(doc->blockCount(), Panel::Limits().maxParagraphs);
    QCOMPARE(doc->lastBlock().text(), QStringLiteral("last"));
}

void tst_EventLog::panelHasNoUndoHistory()
{
    QTextEdit edit;
    PanelFeed feed(&edit, Drawn);
    edit.show();
    feed.append("a");
    feed.flush();
    QVERIFY(!edit.document()->isUndoRedoEnabled());
    QVERIFY(!edit.document()->isUndoAvailable());
}

void tst_EventLog::panelAppendsAfterOperatorTyping()
{
    QTextEdit edit;
    PanelFeed feed(&edit, Drawn);
    edit.show();
    feed.append("first");
    feed.flush();
    QTextCursor c = edit.textCursor();
    c.movePosition(QTextCursor::Start);
    edit.setTextCursor(c);
    QTest::keyClicks(&edit, "typed ");
    feed.append("second");
    feed.flush();
    QCOMPARE(edit.toPlainText(), QString("typed first\nsecond"));
}

void tst_EventLog::logFileEmptiedAtStart()
{
    Agent agent;
    {
        QFile old(agent.work.filePath("debug-log.txt"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(10000, 'x') + "\nold line\n");
    }
    agent.start(quietAgentSettings());
    const QByteArray log = agent.work.readFile("debug-log.txt");
    QVERIFY(!log.contains("old line"));
    QVERIFY(!log.contains("xxx"));
    const QList<QByteArray> lines = log.split('\n');
    QVERIFY2(QRegularExpression("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d \\[i\\] Logger start\\.$")
                 .match(QString::fromLatin1(lines.first()))
                 .hasMatch(),
             lines.first().constData());
    QVERIFY(log.endsWith('\n'));
    QVERIFY(!log.contains('\r'));

    // A second start begins a fresh file with the same first line.
    agent.restart();
    const QByteArray again = agent.work.readFile("debug-log.txt");
    QCOMPARE(again.count("[i] Logger start."), 1);
}

void tst_EventLog::logFileStartsInWorkingDirectory()
{
    Agent agent;
    agent.start(quietAgentSettings());
    agent.stop();
    QVERIFY(QFile::exists(agent.work.filePath("debug-log.txt")));
}

QTEST_MAIN(tst_EventLog)
#include "tst_eventlog.moc"
