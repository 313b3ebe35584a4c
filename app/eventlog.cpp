#include "eventlog.h"
#include "panelfeed.h"
#include "server.h"

#include <QDateTime>
#include <QFile>
#include <QTextStream>

QString timeStamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss "));
}

void Server::writeLogLine(const QString &message)
{
    if (logStream) {
        *logStream << timeStamp() << message << '\n';
        logStream->flush();
    } else if (logFile && logFile->isOpen()) { // after start-up: a reload's line
        QTextStream stream(logFile);
        stream << timeStamp() << message << '\n';
    }
}

void Server::appendLogPanel(const QString &message)
{
    panelFeed->append(message);
}
