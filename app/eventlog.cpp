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
    if (!logStream)
        return;
    *logStream << timeStamp() << message << '\n';
    logStream->flush();
}

void Server::appendLogPanel(const QString &message)
{
    panelFeed->append(message);
}
