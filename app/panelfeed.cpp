#include "panelfeed.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QGuiApplication>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

PanelFeed::PanelFeed(QTextEdit *panel, const Panel::Limits &limits, QObject *parent)
    : QObject(parent), m_panel(panel), m_limits(limits)
{
    // Undo history would keep every line ever shown.
    m_panel->document()->setUndoRedoEnabled(false);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &PanelFeed::flushSome);
    // Shown (or restored) after lines were kept unseen: they are drawn now.
    m_panel->installEventFilter(this);
    m_panel->window()->installEventFilter(this);
}

bool PanelFeed::seen() const
{
    if (!m_panel->isVisible() || m_panel->window()->isMinimized())
        return false;
    return m_limits.drawOffscreen || QGuiApplication::platformName() != QLatin1String("offscreen");
}

bool PanelFeed::eventFilter(QObject *watched, QEvent *event)
{
    if ((event->type() == QEvent::Show || event->type() == QEvent::WindowStateChange) && !m_queue.isEmpty())
        QTimer::singleShot(0, this, [this] {
            if (seen())
                flush();
        });
    return QObject::eventFilter(watched, event);
}

void PanelFeed::append(const QString &line)
{
    if (!seen()) {
        // Nobody can see the panel: the lines wait, the newest as many as it
        // keeps, and cost nothing until it is shown.
        if (m_queue.size() >= m_limits.maxParagraphs)
            m_queue.removeFirst();
        m_queue.append(line);
        return;
    }
    if (m_queue.size() >= m_limits.maxQueuedLines) {
        m_queue.removeFirst();
        ++m_dropped;
    }
    m_queue.append(line);
    if (!m_timer.isActive())
        schedule();
}

void PanelFeed::schedule()
{
    m_timer.start(qBound(
        m_limits.flushIntervalMs, m_lastFlushCostMs * m_limits.costShare, m_limits.maxFlushIntervalMs));
}

void PanelFeed::flush()
{
    m_timer.stop();
    insert(m_queue.size());
    trimTo(m_limits.maxParagraphs);
}

void PanelFeed::flushSome()
{
    if (!seen())
        return; // hidden meanwhile: the lines wait for the panel to be shown
    QElapsedTimer cost;
    cost.start();
    insert(qMin(int(m_queue.size()), m_limits.maxLinesPerFlush));
    if (m_panel->document()->blockCount() > m_limits.maxParagraphs + m_limits.trimSlack)
        trimTo(m_limits.maxParagraphs);
    m_lastFlushCostMs = int(cost.elapsed());
    if (!m_queue.isEmpty())
        schedule();
}

// Inserts the oldest queued lines in one edit, so the layout runs once for them.
void PanelFeed::insert(int lines)
{
    if (lines <= 0)
        return;
    // The panel follows the newest line, unless the operator has scrolled up
    // to read: then it stays where they are until they scroll back down.
    QScrollBar *bar = m_panel->verticalScrollBar();
    const bool following = bar->value() >= bar->maximum();
    QTextDocument *doc = m_panel->document();
    QTextCursor cursor(doc);
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    // An empty document already has one empty paragraph; the first line goes there.
    bool firstGoesIntoEmptyBlock = doc->isEmpty();
    for (int i = 0; i < lines; ++i) {
        if (!firstGoesIntoEmptyBlock)
            cursor.insertBlock();
        firstGoesIntoEmptyBlock = false;
        cursor.insertText(m_queue.at(i));
    }
    cursor.endEditBlock();
    m_queue.erase(m_queue.begin(), m_queue.begin() + lines);
    if (following)
        bar->setValue(bar->maximum());
}

// Removes the oldest paragraphs in an edit of its own: made in the same edit as
// an insertion at the end, the change would span the document and have all of
// it laid out again.
void PanelFeed::trimTo(int paragraphs)
{
    QTextDocument *doc = m_panel->document();
    const int excess = doc->blockCount() - paragraphs;
    if (excess <= 0)
        return;
    QTextCursor head(doc);
    head.beginEditBlock();
    head.movePosition(QTextCursor::Start);
    head.setPosition(doc->findBlockByNumber(excess).position(), QTextCursor::KeepAnchor);
    head.removeSelectedText();
    head.endEditBlock();
}
