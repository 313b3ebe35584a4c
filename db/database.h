#ifndef DATABASE_H
#define DATABASE_H

#include "executor.h"
#include "sqlrules.h"
#include "statement.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

// Where and as whom the agent connects.
struct ConnectionSettings
{
    QString driver; // Qt SQL driver name, "QPSQL" say
    QString host;
    int port = 0;
    QString name; // the database name (for SQLite, the file)
    QString user;
    QString password;
    int timeoutSeconds = Sql::DefaultTimeoutSeconds; // see Sql::connectOptions; 0: no limit set
    QString options;                                 // connect options of the configuration
};

// One database connection and what keeps it useful: statements stay prepared
// for the life of a session (where the driver allows), every session starts
// with the waits bounded, and a connection found lost is closed and reopened,
// at most once per Limits::reopenIntervalMs. Statements run on the calling
// thread, at once: submit() calls done before it returns, and fails fast
// (FailFastGate) while the database is known not to answer.
class Database : public StatementExecutor
{
public:
    struct Limits
    {
        int reopenIntervalMs = Sql::ReopenIntervalMs; // also the fail-fast retry interval
    };

    // The connection of that name is made by configure(); the default is Qt's
    // default connection.
    explicit Database(const QString &connectionName = QLatin1String(QSqlDatabase::defaultConnection));

    // Adds the connection for the driver, then sets host, port, database
    // name, user and password, in that order, and the connect options that
    // bound its waits. Returns the handle.
    QSqlDatabase configure(const ConnectionSettings &settings);
    // Opens the connection and bounds its session's statements.
    bool open();
    QSqlDatabase connection() const { return m_db; }

    // Executes text as it stands, then fetches every row and drops it: proof
    // that the statement runs to its end. False, with *error, when it fails.
    bool runTestQuery(const QString &text, QString *error);

    // Runs the statement and reads every row: prepared ones are kept prepared
    // until the connection is reopened, and a run that fails because the
    // connection is gone reopens it (when the rate limit allows) and runs once
    // more. A connection found lost is closed, whatever the driver claims.
    StatementResult run(const Statement &statement);
    void submit(const Statement &statement, ResultHandler done) override;

    void setLimits(const Limits &limits);

    // Statements prepared so far, over every session.
    quint64 prepares() const { return m_prepares; }

private:
    bool execute(const Statement &statement, QSqlQuery &query, StatementResult &result);
    Sql::Failure failure(const QSqlQuery &query, qint64 tookMs) const;
    bool reopen(StatementResult &result);

    QString m_connectionName;
    QString m_driver;
    int m_timeoutSeconds = 0;
    bool m_mysqlServer = false; // MySQL or MariaDB behind the driver
    QSqlDatabase m_db;
    QHash<QString, QSqlQuery> m_prepared; // statement text -> prepared on the current session
    QElapsedTimer m_lastReopen;
    Limits m_limits;
    quint64 m_prepares = 0;
};

#endif // DATABASE_H
