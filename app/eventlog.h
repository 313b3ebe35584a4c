#ifndef EVENTLOG_H
#define EVENTLOG_H

#include <QObject>
#include <QStringList>
#include <QTimer>

class QTextEdit;

// Local date and time as "dd.MM.yyyy hh:mm:ss " (20 characters, ends in a blank).
QString timeStamp();

namespace EventLog {
// How long panel lines may wait before they are drawn; batching keeps a busy
// listener from spending its time laying out text.
constexpr int PanelFlushIntervalMs = 100;
// The panel keeps the newest paragraphs, so its memory stays flat.
constexpr int PanelMaxParagraphs = 5000;
// Laying out a line costs about 13 us here, and the event loop serves no one
// meanwhile: one timed flush draws at most this many (a few milliseconds) and
// leaves the rest for the next.
constexpr int PanelMaxLinesPerFlush = 250;
// Lines waiting beyond this many are dropped, oldest first: under a load the
// panel cannot keep up with, it shows recent lines rather than ever older ones.
constexpr int PanelMaxQueuedLines = 1000;
// Removing the oldest paragraphs costs a walk over the whole document however
// few go, so the panel may hold this many over its cap before they are removed
// in one batch.
constexpr int PanelTrimSlack = 1000;
// The wait before the next timed flush grows with what the last one cost, so
// drawing takes at most about 1/PanelCostShare of the event loop's time, and
// never waits longer than PanelMaxFlushIntervalMs.
constexpr int PanelCostShare = 10;
constexpr int PanelMaxFlushIntervalMs = 2000;
} // namespace EventLog

// Feeds the log panel: lines are queued and inserted as plain-text paragraphs,
// a bounded batch at a time, at most every PanelFlushIntervalMs. Text is never
// read as markup.
class PanelFeed : public QObject
{
    Q_OBJECT

public:
    explicit PanelFeed(QTextEdit *panel, QObject *parent = nullptr);

    void append(const QString &line);
    // Inserts every queued line now and trims the panel to PanelMaxParagraphs.
    void flush();
    int queued() const { return m_queue.size(); }
    // Lines dropped, oldest first, because the panel could not keep up.
    quint64 dropped() const { return m_dropped; }

private:
    // The timer's work: the oldest PanelMaxLinesPerFlush queued lines.
    void flushSome();
    void insert(int lines);
    void trimTo(int paragraphs);
    void schedule();

    QTextEdit *m_panel;
    QStringList m_queue;
    QTimer m_timer;
    int m_lastFlushCostMs = 0;
    quint64 m_dropped = 0;
};

#endif // EVENTLOG_H
