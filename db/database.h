#ifndef DATABASE_H
#define DATABASE_H

#include "failfast.h"
#include "serverlist.h"
#include "socketdeadline.h"
#include "sqlrules.h"
#include "statement.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include <memory>

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
    // With a list of servers in sql/host or of ODBC DSNs: the list and what
    // the connections found of it (host and port, or for ODBC the name, are
    // then its first entry's); null: the settings as they stand.
    std::shared_ptr<ServerSet> servers;
};

// Runs statements: submit now, hear the result later. An executor that runs
// the statement at once calls done before submit returns; one that runs it
// elsewhere calls it later, on the submitting thread. Every executor admits
// statements through one fail-fast gate and counts results here, the same way.
class StatementExecutor
{
public:
    // Counted as they happen, for whoever reports on the agent.
    struct Counters
    {
        quint64 statements = 0;     // results handed back, ok or not
        quint64 failures = 0;       // ... of which failed
        quint64 timeouts = 0;       // ... of which ran out of time
        quint64 failedFast = 0;     // ... of which were not sent while failing fast
        quint64 reopenAttempts = 0; // reopens tried after a lost connection
        quint64 reopens = 0;        // ... of which succeeded
        quint64 retired = 0;        // connections given up on at a deadline, each replaced
    };

    virtual ~StatementExecutor() = default;
    virtual void submit(const Statement &statement, ResultHandler done) = 0;

    const Counters &counters() const { return m_counters; }
    // Whether the database answered the last statement, or, before any, the
    // connection's first open.
    bool answering() const { return m_answering; }
    void setAnswering(bool answering) { m_answering = answering; }

protected:
    explicit StatementExecutor(int retryIntervalMs) : m_gate(retryIntervalMs) { }
    void setRetryInterval(int ms) { m_gate.setRetryInterval(ms); }

    // While the database is known not to answer: done hears the refusal now,
    // and true is returned; the statement is not to run.
    bool refuse(const ResultHandler &done, const QString &connectionError);
    // A statement's result before done hears it: what it changed about failing
    // fast is recorded on it, and it is counted.
    void settle(StatementResult &result);
    // The error that started the failing, for an executor with no one connection to ask.
    const QString &failingReason() const { return m_gate.reason(); }

    Counters m_counters;
    std::shared_ptr<ServerSet> m_servers; // with a list of servers

private:
    void count(const StatementResult &result);

    FailFastGate m_gate;
    bool m_answering = false;
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
        // With a list of servers, a statement on PostgreSQL not returned
        // after this long has its socket shut (SocketDeadline), and is
        // answered as timed out, so the next goes to the next server; 0:
        // never. For the dialog's connection: the pool's have its deadline.
        int socketDeadlineMs = 0;
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
    // Closes the connection and gives up its name, so another Database can
    // configure one under it; the caller holds no handle of it any more.
    void release();

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
    // Why the last open failed: with a list of servers, each one tried and why.
    QString openError() const;

private:
    // Opens the connection on the host and port it has.
    bool openSession();
    // Opens on the first entry of the list that opens (and takes writes when
    // those are wanted), in the order the shared record gives.
    bool openOnList();
    // Whether the server just opened is one sql/target wants; *why when not.
    bool wanted(const Sql::ServerEntry &server, QString *why);
    // The server this connection is on has been found dead by another.
    bool serverFailedElsewhere() const;
    bool execute(const Statement &statement, QSqlQuery &query, StatementResult &result);
    // execute(), bounded by Limits::socketDeadlineMs where the driver lets it
    // be; m_shutAtDeadline says whether the deadline ended it.
    bool executeWatched(const Statement &statement, QSqlQuery &query, StatementResult &result);
    Sql::Failure failure(const QSqlQuery &query, qint64 tookMs) const;
    bool reopen(StatementResult &result);

    QString m_connectionName;
    QString m_driver;
    int m_timeoutSeconds = 0;
    bool m_mysqlServer = false;                       // MySQL or MariaDB behind the driver
    QString m_serverProduct;                          // as the server names itself, through ODBC
    std::unique_ptr<SocketDeadline> m_socketDeadline; // with Limits::socketDeadlineMs, on PostgreSQL
    bool m_shutAtDeadline = false;
    bool m_untoldSaid = false; // sql/target=primary on a server that cannot tell: said once
    QSqlDatabase m_db;
    QHash<QString, QSqlQuery> m_prepared; // statement text -> prepared on the current session
    QElapsedTimer m_lastReopen;
    bool m_workedSinceReopen = false; // a statement succeeded since the last reopen
    bool m_openTried = false;         // an open was tried: from then on a closed connection is reopened
    Limits m_limits;
    quint64 m_prepares = 0;
    int m_server = -1;       // the entry of the list the connection is open on
    qint64 m_openedAtMs = 0; // ... since then, on the list's clock
    QString m_openError;     // with a list: every entry tried at the last open, and why it failed
};

#endif // DATABASE_H
