#ifndef SQLFIXTURE_H
#define SQLFIXTURE_H

// The databases tests put behind an agent: SQLite files made here, the INI
// keys that point an agent at them or at a PgServer, and the two users tables
// the credential check runs on.

#include "agent.h"

#include <QDir>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class SqlServer;

// ---- Set-up -----------------------------------------------------------------
// Runs the statements, up to the first that fails, on a connection of its own
// with the driver, set up by configure; the connection is gone again when this
// returns. Returns the first error text, or an empty string.
QString runSql(const QString &driver, const std::function<void(QSqlDatabase &)> &configure,
               const QStringList &statements);
// The same on the SQLite file at path, made when missing.
QString sqliteRun(const QString &path, const QStringList &statements);

// Agent settings for the SQLite file at path, with statement and result column.
IniValues sqliteAgentSettings(const QString &path, const QString &query, const QString &retParam);
// How the agent reaches a server: its own driver, or ODBC (PostgreSQL's or
// MariaDB's ODBC driver) with a connection string in sql/dsn, or with the
// name of a DSN that ~/.odbc.ini defines.
enum class Route { Native, OdbcString, OdbcDsn };
// The same for the database of a running server, reached over TCP.
IniValues serverAgentSettings(const SqlServer &server, const QString &query, const QString &retParam,
                              Route route = Route::Native);

// Makes the SQLite file agent.db in the agent's working directory from setup,
// then starts the agent on it with the statement, the result column and any
// other settings in overrides. Returns the set-up's error text, empty when none.
QString startOnSqlite(Agent &agent, const QStringList &setup, const QString &query, const QString &retParam,
                      const IniValues &overrides = IniValues());

// A connection of the test's own, open while the object lives: to hold a lock
// or look at the server.
class SqlSession
{
public:
    SqlSession(const QString &driver, const std::function<void(QSqlDatabase &)> &configure);
    ~SqlSession();
    SqlSession(const SqlSession &) = delete;
    SqlSession &operator=(const SqlSession &) = delete;
    // Runs the statements in turn; the first column of the last one's rows.
    QStringList run(const QStringList &statements);

private:
    QString m_name;
    QSqlDatabase m_db;
};
// A session on the database of a running server, over TCP, through its own driver.
std::unique_ptr<SqlSession> serverSession(const SqlServer &server);

// ---- Every driver -----------------------------------------------------------
// The servers the agent is proven against, and SQLite, which needs none. Each
// server is started once per test binary, on first use, and given the
// statements of setup then.
enum class Backend { Sqlite, Postgres, MariaDb, Firebird };
// The server, or null with *error saying why it cannot run here.
SqlServer *sharedServer(Backend backend, const QStringList &setup, QString *error);

// The columns "backend" and "route", and one row per way the agent reaches a
// database server: PostgreSQL, MariaDB and Firebird through their own
// drivers, ODBC to PostgreSQL with a connection string and to MariaDB with a
// DSN name.
void addDriverRows();

// The current row's server (null for SQLite), set up with setup; where it
// cannot run, the test fails under CI (CI set) and is skipped elsewhere.
#define FETCH_SERVER(server, setup)                                                                    \
    QFETCH(int, backend);                                                                              \
    QFETCH(int, route);                                                                                \
    QString serverError;                                                                               \
    SqlServer *const server                                                                            \
        = Backend(backend) == Backend::Sqlite ? nullptr : sharedServer(Backend(backend), setup, &serverError); \
    REQUIRE_HERE(serverError.isEmpty(), serverError);

// ---- What start-up shows ----------------------------------------------------
// The drivers Qt offers, joined by commas, as the panel and the log name them.
QString driverList();
// The nine start-up panel lines for an SQLite connection.
QStringList startupPanel(const QString &host, int port, const QString &dsn);

// ---- Two users tables -------------------------------------------------------
// Kept apart on purpose: the database tests read every column of every row
// (panel lines "i: USER_ID=1", "i: note=first") and hold NULLs, twins and a
// Cyrillic login; the HTTP tests answer opaque identifiers ("u-17", "u-ä").
// One table for both would rewrite most expected values of either side.

// The database tests' table, plain SQL that SQLite and PostgreSQL both run,
// and the statement they configure (USER_ID and note, ordered by id).
extern const QString CheckQuery;
extern const QStringList UsersSchema;

// The HTTP tests' table: the statement reads uid for a login and pw. Every
// table holds alice (Zq9secret, u-17) and jürgen (j, u-ä); extraRows add more.
extern const QString CheckStatement;
QStringList usersTable(const QStringList &extraRows = {});

// ---- Checking a credential row ----------------------------------------------
// The columns of the credential-check rows: user, password, retParam,
// expected result, shownUser (the "s1: " text) and columnLines (the "i: " lines).
void addCheckUserColumns();

// Runs one row of those columns through the agent's checkUser on UsersSchema
// and checks the result, the panel lines, the debug lines (Q1, Q2, one R1 per
// column of every row) and that the table is unchanged.
void verifyCheckUserRow(ServerInspector s);

// Rows in the users table, or -1 when it cannot be read.
int userCount(const QSqlDatabase &db);

// ---- Agents on an SQLite file ----------------------------------------------
// An agent on an SQLite file in its working directory.
struct SqliteAgent : Agent
{
    QString dbPath() const { return work.filePath(QStringLiteral("agent.db")); }
    QString writeSchema() const { return sqliteRun(dbPath(), UsersSchema); }
    // The users table made, and the agent started on it; the set-up's error, if any.
    QString startOnUsers(const QString &retParam = QStringLiteral("user_id"), const QString &query = CheckQuery)
    {
        return startOnSqlite(*this, UsersSchema, query, retParam);
    }

    // For recovery: the database file lies in a directory that appears only
    // later, so the start-up open fails. Returns the database name.
    QString laterPath() const { return work.filePath(QStringLiteral("later/users.db")); }
    QString startBeforeDatabaseExists()
    {
        IniValues v = settings();
        v[QStringLiteral("sql/dsn")] = laterPath();
        start(v);
        return laterPath();
    }
    QString createDatabaseLater() const
    {
        if (!QDir().mkpath(work.filePath(QStringLiteral("later"))))
            return QStringLiteral("cannot create the directory");
        return sqliteRun(laterPath(), UsersSchema);
    }
    IniValues settings(const QString &retParam = QStringLiteral("user_id"),
                       const QString &query = CheckQuery) const
    {
        return sqliteAgentSettings(dbPath(), query, retParam);
    }
};

// An agent process on a users table in a SQLite file of its own, with more settings.
struct SqliteAgentProcess
{
    explicit SqliteAgentProcess(const IniValues &more, const QStringList &launchPrefix = QStringList())
        : error(sqliteRun(dir.filePath(QStringLiteral("users.db")), usersTable())),
          agent(withValues(sqliteAgentSettings(dir.filePath(QStringLiteral("users.db")), CheckStatement,
                                             QStringLiteral("uid")),
                         more))
    {
        agent.launchPrefix = launchPrefix;
    }
    QTemporaryDir dir;
    QString error;
    AgentProcess agent;
};

#endif // SQLFIXTURE_H
