#ifndef SQLRULES_H
#define SQLRULES_H

#include "statement.h"

#include <QSqlError>
#include <QString>
#include <QStringList>

#include <optional>

class QElapsedTimer;

// The database's rules as pure functions: what the two services run, what
// their results mean, and when a lost connection is tried again.
namespace Sql {

// ---- Limits ----------------------------------------------------------------
// A lost connection is reopened at most once per this interval, so a
// statement that keeps failing cannot turn into a reconnect storm.
constexpr int ReopenIntervalMs = 5000;

// ---- Statements ------------------------------------------------------------
// The credential check: query prepared with the user name bound to ":s1" and
// the password to ":s2", both as given.

// The check's placeholders that query lacks (":s1", ":s2"). A statement
// without both would find rows for any user name or any password.
// With a stored password column only ":s1" is bound.
QStringList missingCheckPlaceholders(const QString &query, bool passwordBound = true);
Statement checkStatement(
    const QString &query, const QString &retParam, const QString &userName, const QString &password);

// The configured statement with every "%1" turned into a named placeholder of
// its own (":lookup_input_1", ":lookup_input_2", ...), so the input is bound as
// a value and never pasted into SQL. A "%1" written between single quotes
// ('%1') becomes a bare placeholder too, since the bound value already is a
// string. Separate names, because drivers differ on a name used twice.
struct BoundStatement
{
    QString text;             // the statement to prepare
    QStringList placeholders; // each takes the input; none: run the statement as it is
};
BoundStatement bindInput(const QString &statement);

// The parameter lookup: query with the input bound to every "%1"; without one,
// query executed exactly as it stands.
Statement lookupStatement(const QString &query, const QString &retParam, const QString &input);

// The check with a stored password column: the user name alone bound to
// ":s1"; the password is never sent to the database.
Statement storedPasswordStatement(const QString &query, const QString &retParam, const QString &userName);

// ---- Results ---------------------------------------------------------------
// The result column's value in the last row: a null string when the result
// has no such column; nothing when the statement failed or gave no row.
std::optional<QString> lastRowValue(const StatementResult &result);
// The index of the column named so (without regard to case, as
// QSqlRecord::indexOf matches it), -1 when there is none.
int columnIndex(const StatementResult &result, const QString &name);

// ---- Connection ------------------------------------------------------------
// Seconds a connection attempt or one statement may take, unless configured.
constexpr int DefaultTimeoutSeconds = 5;

// The connect options for a driver: those that bound a connection attempt
// and a statement to timeoutSeconds through the driver's own means (none when
// it is 0, or when the driver offers none), then the configured ones, which
// come last so they can override. Joined with ";" as
// QSqlDatabase::setConnectOptions takes them. readAttempts: how often the
// MySQL client library tries a read that timed out (Oracle's tries three
// times, MariaDB's once), so that a read never waits longer than timeoutSeconds.
QString connectOptions(
    const QString &driver, int timeoutSeconds, const QString &configured, int readAttempts = 1);

// A MySQL-family server's own statement time-out ends a statement (a wait
// for a lock included) this long before the client library's read time-out
// would drop the connection, so the connection is kept.
constexpr int ServerLimitMarginMs = 250;

// Whether a MySQL-family server is behind the driver: QMYSQL or QMARIADB,
// or a server whose product name (through ODBC) says MySQL or MariaDB; Qt's
// own test for MySQL misses MariaDB.
bool mysqlFamily(const QString &driver, const QString &product);

// Statements run on every fresh session of a MySQL-family server (through
// QMYSQL, or through ODBC, whose MariaDB driver offers no statement time-out
// of its own), until the server accepts one: MariaDB's statement time-out,
// else MySQL's.
QStringList sessionStatements(bool mysqlFamily, int timeoutSeconds);

// A failed statement as the rules judge it: what the driver said, and how
// long the call took.
struct Failure
{
    QString driver;             // "QPSQL", "QMYSQL", "QODBC", ...
    bool connectionOpen = true; // what the connection claimed afterwards
    QSqlError::ErrorType type = QSqlError::NoError;
    QString nativeCode;
    QString sqlState; // ODBC: the SQLSTATE of the driver's first diagnostic
    QString text;
    qint64 tookMs = 0;        // the call's duration
    int timeoutMs = 0;        // sql/timeout; 0: none
    bool mysqlServer = false; // MySQL or MariaDB behind the driver: the native codes are theirs
};

// True when the failure means the connection itself is gone, not that the
// statement was wrong; each driver says so in its own way.
bool connectionLost(const Failure &failure);

// True when the statement ran out of time: a statement time-out, a lock it
// waited for too long, a busy database file, or a connection the client
// library gave up on after the whole time-out.
bool timedOut(const Failure &failure);

// Whether a prepared statement may run again on its session. Not on QIBASE:
// Qt's driver runs a reused SELECT in the transaction of its first run, which
// it never commits, so every later run would read that first snapshot.
bool keepsPrepared(const QString &driver);

// Whole seconds for a Retry-After answer: the wait rounded up, at least 1.
int retryAfterSeconds(int waitMs);

// True when a reopen may be tried now: none yet, or the last one is at least
// intervalMs old.
bool reopenAllowed(const QElapsedTimer &lastReopen, int intervalMs = ReopenIntervalMs);

// ---- Display ---------------------------------------------------------------
// The user name as the log panel shows it: its CP1251 bytes read back as
// UTF-8 up to the first NUL, so letters outside ASCII come out altered.
// Without a CP1251 codec the name is shown as it is.
QString cp1251DisplayForm(const QString &userName);

// The text with the value of every credential key of a connection string
// (PWD=, Password=, ...; a braced value whole) shown as ********.
QString maskCredentials(const QString &text);

} // namespace Sql

#endif // SQLRULES_H
