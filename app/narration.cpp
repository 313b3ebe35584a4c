#include "narration.h"
#include "eventlog.h"
#include "panelfeed.h"

#include "db/sqlrules.h"
#include "db/statement.h"
#include "net/debugswitch.h"
#include "net/wiretext.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QTextStream>
#include <QTimer>

#include <memory>

namespace Narration {

namespace {
// Ends a debug message with a line feed inside it, as the lookup's traces do.
QTextStream &lineEnd(QTextStream &stream)
{
    return stream << '\n';
}

// One finished statement's narration, possibly spread over several passes of
// the event loop.
struct Job
{
    Service service;
    StatementResult result;
    PanelFeed *panel;
    std::function<void()> then;
    int row = 0;
};

// The rows from job->row on, for at most SliceMs; the rest from the event
// loop. Then the end of the narration, and the caller's continuation.
void narrateRows(const std::shared_ptr<Job> &job)
{
    const bool check = job->service == Service::Check;
    const bool narrate = Net::debugOn();
    const StatementResult &result = job->result;
    QElapsedTimer slice;
    slice.start();
    for (; job->row < result.rows.size(); ++job->row) {
        if (slice.elapsed() >= SliceMs) {
            QTimer::singleShot(0, job->panel, [job] { narrateRows(job); });
            return;
        }
        const QStringList &row = result.rows.at(job->row);
        for (int i = 0; i < result.columns.size(); ++i) {
            const QString &name = result.columns.at(i);
            const QString &value = row.at(i);
            if (check) {
                if (narrate)
                    qDebug() << i << ":" << name << "=" << value;
                job->panel->append(QStringLiteral("i: ") + name + QLatin1Char('=') + value);
            } else if (narrate) {
                qDebug() << i << ":" << name << "=" << value << lineEnd;
            }
        }
    }

    // Once when the window starts and once when it ends, not per request.
    if (result.failFast == StatementResult::FailFast::Started) {
        const QString line
            = QStringLiteral("[e] database unavailable, failing fast until it answers again: ");
        qDebug().noquote() << line + result.error;
        job->panel->append(line + result.error);
    } else if (result.failFast == StatementResult::FailFast::Ended) {
        const QString line = QStringLiteral("[+] database answers again");
        qDebug().noquote() << line;
        job->panel->append(line);
    }
    job->then();
}
} // namespace

void checkSubmitted(
    const QString &statement, const QString &retParam, const QString &userName, PanelFeed &panel)
{
    if (Net::debugOn()) {
        qDebug() << "[d] q.q=" << statement;
        qDebug() << "[d] q.w=" << retParam;
    }
    panel.append(QStringLiteral("q: ") + statement);
    panel.append(QStringLiteral("s1: ") + Sql::cp1251DisplayForm(userName));
    // A password on the screen is a password leaked; the bound value is the real one.
    panel.append(QStringLiteral("s2: ") + Net::MaskedPassword);
}

void statementFinished(Service service, const StatementResult &result, const QString &statement,
    const QString &databaseName, PanelFeed &panel, std::function<void()> then)
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
    narrateRows(std::make_shared<Job>(Job {service, result, &panel, std::move(then)}));
}

} // namespace Narration
