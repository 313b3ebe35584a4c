#include "narration.h"
#include "eventlog.h"

#include "db/sqlrules.h"
#include "db/statement.h"
#include "net/wiretext.h"

#include <QDebug>
#include <QTextStream>

namespace Narration {

namespace {
// Ends a debug message with a line feed inside it, as the lookup's traces do.
QTextStream &lineEnd(QTextStream &stream)
{
    return stream << '\n';
}
} // namespace

void checkSubmitted(
    const QString &statement, const QString &retParam, const QString &userName, PanelFeed &panel)
{
    qDebug() << "[d] q.q=" << statement;
    qDebug() << "[d] q.w=" << retParam;
    panel.append(QStringLiteral("q: ") + statement);
    panel.append(QStringLiteral("s1: ") + Sql::cp1251DisplayForm(userName));
    // A password on the screen is a password leaked; the bound value is the real one.
    panel.append(QStringLiteral("s2: ") + Net::MaskedPassword);
}

void statementFinished(Service service, const StatementResult &result, const QString &statement,
    const QString &databaseName, PanelFeed &panel)
{
    const bool check = service == Service::Check;
    if (result.reopen == StatementResult::Reopen::Succeeded)
        panel.append(QStringLiteral("[+] Reconnect to DB ") + databaseName + QStringLiteral(" success"));
    else if (result.reopen == StatementResult::Reopen::Failed)
        panel.append(QStringLiteral("ERR: reconnect: ") + result.reopenError);

    if (!result.ok) {
        qDebug() << "[e] q.le=" << result.error;
        if (check) {
            panel.append(QStringLiteral("ERR: db.lastError()=") + result.connectionError);
            qDebug() << timeStamp() << "[e] Unable to execute test query: " << statement;
            qDebug() << timeStamp() << "[e] query.lastError=" << result.error;
        } else {
            qDebug() << timeStamp() << "[e] Unable to execute test query: " << statement << lineEnd;
            qDebug() << timeStamp() << "[e] query.lastError=" << result.error << lineEnd;
        }
    }

    for (const QStringList &row : result.rows) {
        for (int i = 0; i < result.columns.size(); ++i) {
            const QString &name = result.columns.at(i);
            const QString &value = row.at(i);
            if (check) {
                qDebug() << i << ":" << name << "=" << value;
                panel.append(QStringLiteral("i: ") + name + QLatin1Char('=') + value);
            } else {
                qDebug() << i << ":" << name << "=" << value << lineEnd;
            }
        }
    }

    // Once when the window starts and once when it ends, not per request.
    if (result.failFast == StatementResult::FailFast::Started) {
        const QString line
            = QStringLiteral("[e] database unavailable, failing fast until it answers again: ");
        qDebug().noquote() << line + result.error;
        panel.append(line + result.error);
    } else if (result.failFast == StatementResult::FailFast::Ended) {
        const QString line = QStringLiteral("[+] database answers again");
        qDebug().noquote() << line;
        panel.append(line);
    }
}

} // namespace Narration
