#include "eventlog.h"
#include "server.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextStream>

QString timeStamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss "));
}

PanelFeed::PanelFeed(QTextEdit *panel, QObject *parent)
    : QObject(parent), m_panel(panel)
{
    // Undo history would keep every line ever shown.
    m_panel->document()->setUndoRedoEnabled(false);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &PanelFeed::flush);
}

void PanelFeed::append(const QString &line)
{
    // Lines beyond the cap would be trimmed right after insertion anyway.
    if (m_queue.size() >= EventLog::PanelMaxParagraphs)
        m_queue.removeFirst();
    m_queue.append(line);
    if (!m_timer.isActive())
        m_timer.start(qBound(EventLog::PanelFlushIntervalMs,
                             m_lastFlushCostMs * EventLog::PanelCostShare,
                             EventLog::PanelMaxFlushIntervalMs));
}

void PanelFeed::flush()
{
    m_timer.stop();
    if (m_queue.isEmpty())
        return;
    QElapsedTimer cost;
    cost.start();

    QTextDocument *doc = m_panel->document();
    QTextCursor cursor(doc);
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    // An empty document already has one empty paragraph; the first line goes there.
    bool firstGoesIntoEmptyBlock = doc->isEmpty();
    for (const QString &line : qAsConst(m_queue)) {
        if (!firstGoesIntoEmptyBlock)
            cursor.insertBlock();
        firstGoesIntoEmptyBlock = false;
        cursor.insertText(line);
    }
    m_queue.clear();

    const int excess = doc->blockCount() - EventLog::PanelMaxParagraphs;
    if (excess > 0) {
        QTextCursor head(doc);
        head.movePosition(QTextCursor::Start);
        head.setPosition(doc->findBlockByNumber(excess).position(), QTextCursor::KeepAnchor);
        head.removeSelectedText();
    }
    cursor.endEditBlock();
    m_lastFlushCostMs = int(cost.elapsed());
}

void Server::writeLogLine(const QString &message)
{
    if (!logStream)
        return;
    *logStream << timeStamp() << message << '\n';
    logStream->flush();
}

void Server::appendLogPanel(const QString &message)
{
    panelFeed->append(message);
}
