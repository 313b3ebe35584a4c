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
// The panel keeps only the newest paragraphs, so its memory stays flat.
constexpr int PanelMaxParagraphs = 5000;
// Once the panel is full, every flush trims its oldest paragraphs and the text
// layout redoes the whole document. The wait before the next flush grows with
// what the last one cost, so drawing takes at most about 1/PanelCostShare of
// the event loop's time, and never waits longer than PanelMaxFlushIntervalMs.
constexpr int PanelCostShare = 10;
constexpr int PanelMaxFlushIntervalMs = 2000;
} // namespace EventLog

// Feeds the log panel: lines are queued and inserted as plain-text paragraphs
// in one edit, at most every PanelFlushIntervalMs. Text is never read as markup.
class PanelFeed : public QObject
{
    Q_OBJECT

public:
    explicit PanelFeed(QTextEdit *panel, QObject *parent = nullptr);

    void append(const QString &line);
    // Inserts every queued line now and trims the panel to its cap.
    void flush();
    int queued() const { return m_queue.size(); }

private:
    QTextEdit *m_panel;
    QStringList m_queue;
    QTimer m_timer;
    int m_lastFlushCostMs = 0;
};

#endif // EVENTLOG_H
