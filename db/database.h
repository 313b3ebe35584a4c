#ifndef DATABASE_H
#define DATABASE_H

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
};

// One database connection and what keeps it useful: statements stay prepared
// for the life of a session, and a connection found lost is reopened, at most
// once per Limits::reopenIntervalMs. Statements run on the calling thread, at
// once: submit() calls done before it returns.
class Database : public StatementExecutor
{
public:
    struct Limits
    {
        int reopenIntervalMs = Sql::ReopenIntervalMs;
    };
    // Counted as they happen, for whoever reports on the agent.
    struct Counters
    {
        quint64 statements = 0;     // runs handed back, ok or not
        quint64 failures = 0;       // runs that failed
        quint64 reopenAttempts = 0; // reopens tried after a lost connection
        quint64 reopens = 0;        // ... of which succeeded
    };

    // The connection of that name is made by configure(); the default is Qt's
    // default connection.
    explicit Database(const QString &connectionName = QLatin1String(QSqlDatabase::defaultConnection));

    // Adds the connection for the driver, then sets host, port, database
    // name, user and password, in that order. Returns the handle.
    QSqlDatabase configure(const ConnectionSettings &settings);
    bool open();
    QSqlDatabase connection() const { return m_db; }

    // Executes text as it stands, then fetches every row and drops it: proof
    // that the statement runs to its end. False, with *error, when it fails.
    bool runTestQuery(const QString &text, QString *error);

    // Runs the statement: prepared ones are kept prepared until the connection
    // is reopened, and a run that fails because the connection is gone
    // reopens it (when the rate limit allows) and runs once more.
    StatementResult run(const Statement &statement);
    void submit(const Statement &statement, ResultHandler done) override;

    void setLimits(const Limits &limits) { m_limits = limits; }
    const Counters &counters() const { return m_counters; }

private:
    bool execute(const Statement &statement, QSqlQuery &query);
    bool reopen(StatementResult &result);

    QString m_connectionName;
    QSqlDatabase m_db;
    QHash<QString, QSqlQuery> m_prepared; // statement text -> prepared on the current session
    QElapsedTimer m_lastReopen;
    Limits m_limits;
    Counters m_counters;
};

#endif // DATABASE_H
