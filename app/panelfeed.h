#ifndef PANELFEED_H
#define PANELFEED_H

#include <QObject>
#include <QStringList>
#include <QTimer>

class QTextEdit;

namespace Panel {
struct Limits
{
    // How long lines may wait before they are drawn; batching keeps a busy
    // listener from spending its time laying out text.
    int flushIntervalMs = 100;
    // The panel keeps the newest paragraphs, so its memory stays flat.
    int maxParagraphs = 5000;
    // Laying out a line costs about 13 us here, and the event loop serves
    // no one meanwhile: one timed flush draws at most this many (a few
    // milliseconds) and leaves the rest for the next.
    int maxLinesPerFlush = 250;
    // Lines waiting beyond this many are dropped, oldest first: under a
    // load the panel cannot keep up with, it shows recent lines rather
    // than ever older ones.
    int maxQueuedLines = 1000;
    // Removing the oldest paragraphs costs a walk over the whole document
    // however few go, so the panel may hold this many over its cap before
    // they are removed in one batch.
    int trimSlack = 1000;
    // The wait before the next timed flush grows with what the last one
    // cost, so drawing takes at most about 1/costShare of the event loop's
    // time, and never waits longer than maxFlushIntervalMs.
    int costShare = 10;
    int maxFlushIntervalMs = 2000;
    // Draw under the offscreen platform too (tests); a service there has
    // nobody to show the panel to, so its lines wait unlaid until flush().
    bool drawOffscreen = false;
};
} // namespace Panel

// Feeds the log panel: lines are queued and inserted as plain-text paragraphs,
// a bounded batch at a time, at most every Panel::Limits::flushIntervalMs. Text is
// never read as markup.
class PanelFeed : public QObject
{
    Q_OBJECT

public:
    explicit PanelFeed(
        QTextEdit *panel, const Panel::Limits &limits = Panel::Limits(), QObject *parent = nullptr);

    // While nobody can see the panel (the offscreen platform, the window
    // hidden or minimised), lines are kept, the newest maxParagraphs, and laid
    // out only when it is shown, exactly as they would have been.
    void append(const QString &line);
    // Inserts every queued line now and trims the panel to Panel::Limits::maxParagraphs.
    void flush();
    int queued() const { return m_queue.size(); }
    // Lines dropped, oldest first, because the panel could not keep up.
    quint64 dropped() const { return m_dropped; }
    const Panel::Limits &limits() const { return m_limits; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool seen() const;
    // The timer's work: the oldest maxLinesPerFlush queued lines.
    void flushSome();
    void insert(int lines);
    void trimTo(int paragraphs);
    void schedule();

    QTextEdit *m_panel;
    Panel::Limits m_limits;
    QStringList m_queue;
    QTimer m_timer;
    int m_lastFlushCostMs = 0;
    quint64 m_dropped = 0;
};

#endif // PANELFEED_H
