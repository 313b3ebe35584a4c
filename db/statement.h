#ifndef STATEMENT_H
#define STATEMENT_H

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>
#include <QVector>

#include <functional>

// What the rest of the agent hands the database and gets back: plain values,
// so a caller cannot tell on which thread or connection a statement ran.

// One statement to run.
struct Statement
{
    QString text;
    // Prepared and bound as input parameters: the named ones (placeholder ->
    // value) first, then the positional ones in order. Not prepared: executed
    // as it stands, and the bindings are ignored.
    bool prepared = false;
    QVariantMap named;
    QVariantList positional;
    // The column whose value the caller wants, matched as QSqlRecord::indexOf
    // matches it (without regard to case, first match); empty for none.
    QString resultColumn;
};

// How a run went. Rows and columns are texts (QVariant::toString()), so a
// NULL value is a null string.
struct StatementResult
{
    bool ok = false;
    QStringList columns;       // the result's column names, in order
    QVector<QStringList> rows; // every row, its values in column order
    int resultIndex = -1;      // index of Statement::resultColumn in columns, -1 when absent

    QString error;           // failed: the statement's error text
    QString connectionError; // failed: the connection's last error text afterwards

    // The connection was found lost and reopened (or the reopen failed,
    // reopenError says why) before the run that this result describes.
    enum class Reopen { None, Succeeded, Failed };
    Reopen reopen = Reopen::None;
    QString reopenError;

    // Failed because the database could not answer: the connection is gone,
    // the statement ran out of time, or statements are failing fast.
    bool unavailable = false;
    bool timedOut = false; // ... because the statement ran out of time
    // ... and the connection left its server: lost, or the server taken for
    // hung. A statement that ran out of time on a server still there (a lock)
    // did not, and the next one would meet the same.
    bool serverLeft = false;
    // unavailable: how long until the database is tried again.
    int retryAfterMs = 0;
    // Failing fast (see FailFastGate) started or ended with this result.
    enum class FailFast { Unchanged, Started, Ended };
    FailFast failFast = FailFast::Unchanged;
};
Q_DECLARE_METATYPE(StatementResult)

using ResultHandler = std::function<void(const StatementResult &)>;

#endif // STATEMENT_H
