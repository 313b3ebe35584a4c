#include "sqlrules.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSqlError>
#include <QTextCodec>

#include <algorithm>

namespace Sql {

Statement checkStatement(
    const QString &query, const QString &retParam, const QString &userName, const QString &password)
{
    Statement statement;
    statement.text = query;
    statement.prepared = true;
    statement.named = {{QStringLiteral(":s1"), userName}, {QStringLiteral(":s2"), password}};
    statement.resultColumn = retParam;
    return statement;
}

Statement storedPasswordStatement(const QString &query, const QString &retParam, const QString &userName)
{
    Statement statement = checkStatement(query, retParam, userName, QString());
    statement.named.remove(QStringLiteral(":s2"));
    return statement;
}

QStringList missingCheckPlaceholders(const QString &query, bool passwordBound)
{
    QStringList missing;
    QStringList names {QStringLiteral(":s1")};
    if (passwordBound)
        names << QStringLiteral(":s2");
    for (const QString &name : qAsConst(names)) {
        // ":s10" is another placeholder, not ":s1".
        const QRegularExpression placeholder(
            QRegularExpression::escape(name) + QStringLiteral("(?![A-Za-z0-9_])"));
        if (!query.contains(placeholder))
            missing << name;
    }
    return missing;
}

BoundStatement bindInput(const QString &statement)
{
    static const QRegularExpression input(QStringLiteral("'%1'|%1"));
    BoundStatement bound;
    int copied = 0;
    for (auto it = input.globalMatch(statement); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        const QString name = QStringLiteral(":lookup_input_%1").arg(bound.placeholders.size() + 1);
        bound.text += statement.midRef(copied, match.capturedStart() - copied) + name;
        bound.placeholders << name;
        copied = match.capturedEnd();
    }
    bound.text += statement.midRef(copied);
    return bound;
}

Statement lookupStatement(const QString &query, const QString &retParam, const QString &input)
{
    const BoundStatement bound = bindInput(query);
    Statement statement;
    statement.resultColumn = retParam;
    if (bound.placeholders.isEmpty()) {
        statement.text = query;
        return statement;
    }
    statement.text = bound.text;
    statement.prepared = true;
    for (const QString &name : bound.placeholders)
        statement.named.insert(name, input);
    return statement;
}

int columnIndex(const StatementResult &result, const QString &name)
{
    for (int i = 0; i < result.columns.size(); ++i) {
        if (result.columns.at(i).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

std::optional<QString> lastRowValue(const StatementResult &result)
{
    if (!result.ok || result.rows.isEmpty())
        return std::nullopt;
    return result.resultIndex < 0 ? QString() : result.rows.last().at(result.resultIndex);
}

QString connectOptions(const QString &driver, int timeoutSeconds, const QString &configured, int readAttempts)
{
    QStringList options;
    if (timeoutSeconds > 0) {
        const QString seconds = QString::number(timeoutSeconds);
        const QString ms = QString::number(qint64(timeoutSeconds) * 1000);
        if (driver == QLatin1String("QPSQL")) {
            // libpq: the connection attempt; the server cancels a statement
            // (also one waiting for a lock) after statement_timeout; keepalives
            // and the TCP user time-out notice a path that went silent.
            options << QStringLiteral("connect_timeout=") + seconds
                    << QStringLiteral("options='-c statement_timeout=%1'").arg(ms)
                    << QStringLiteral("keepalives=1") << QStringLiteral("keepalives_idle=") + seconds
                    << QStringLiteral("keepalives_interval=1") << QStringLiteral("keepalives_count=3")
                    << QStringLiteral("tcp_user_timeout=") + ms;
        } else if (driver == QLatin1String("QSQLITE")) {
            // How long a statement waits for a file another process has locked.
            options << QStringLiteral("QSQLITE_BUSY_TIMEOUT=") + ms;
        } else if (driver == QLatin1String("QMYSQL") || driver == QLatin1String("QMARIADB")) {
            // The read time-out also ends a wait for a lock or for a stopped
            // server; the client library then drops the connection.
            options << QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=") + seconds
                    << QStringLiteral("MYSQL_OPT_READ_TIMEOUT=")
                    + QString::number(qMax(1, timeoutSeconds / qMax(1, readAttempts)))
                    << QStringLiteral("MYSQL_OPT_WRITE_TIMEOUT=") + seconds;
        } else if (driver == QLatin1String("QODBC")) {
            // The statement time-out is an attribute of the open connection (Odbc).
            options << QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=") + seconds
                    << QStringLiteral("SQL_ATTR_CONNECTION_TIMEOUT=") + seconds;
        }
    }
    if (!configured.isEmpty())
        options << configured;
    return options.join(QLatin1Char(';'));
}

bool mysqlFamily(const QString &driver, const QString &product)
{
    return driver == QLatin1String("QMYSQL") || driver == QLatin1String("QMARIADB")
        || product.contains(QLatin1String("MySQL")) || product.contains(QLatin1String("MariaDB"));
}

QStringList sessionStatements(bool mysqlFamily, int timeoutSeconds)
{
    if (timeoutSeconds <= 0 || !mysqlFamily)
        return {};
    const qint64 ms = qMax<qint64>(1, qint64(timeoutSeconds) * 1000 - ServerLimitMarginMs);
    return {QStringLiteral("SET SESSION max_statement_time=%1").arg(double(ms) / 1000, 0, 'f', 3),
        QStringLiteral("SET SESSION max_execution_time=%1").arg(ms)};
}

namespace {
// The SQLSTATE a driver reports: QPSQL as its native code, QODBC beside it.
QString sqlState(const Failure &failure)
{
    return failure.driver == QLatin1String("QPSQL") ? failure.nativeCode : failure.sqlState;
}
} // namespace

// How a lost server shows, as observed (Qt 5.15) with a server stopped or
// restarted under an open connection:
// - QPSQL reports "57P01" (administrator command), or no native code and "no
//   connection to the server", and marks the connection closed;
// - QMYSQL reports 2013 (lost during the statement), then 2006 (gone away),
//   and keeps calling the connection open;
// - QIBASE reports SQLCODE -902 ("Error reading data from the connection")
//   and keeps calling it open;
// - QODBC keeps calling it open; the SQLSTATE is of class 08 where the driver
//   sets one, and the texts say "connection lost" (PostgreSQL's driver) or
//   "Connection not open" (MariaDB's). Once the connection is broken, the
//   driver may not even allocate a statement, and exec() fails with no error.
bool connectionLost(const Failure &failure)
{
    if (!failure.connectionOpen || failure.type == QSqlError::ConnectionError
        || (failure.type == QSqlError::NoError && failure.driver == QLatin1String("QODBC")))
        return true;
    const QString state = sqlState(failure);
    if (state.size() == 5
        && (state.startsWith(QLatin1String("08")) // connection exception
            || state == QLatin1String("57P01")    // administrator shutdown
            || state == QLatin1String("57P02")    // crash shutdown
            || state == QLatin1String("57P03")))  // cannot connect now
        return true;
    // Can't connect (2002, 2003), gone away (2006), lost (2013, 2055), server
    // shutting down (1053), connection killed (1927), closed as idle (4031).
    static const QStringList lostCodes {QStringLiteral("2002"), QStringLiteral("2003"),
        QStringLiteral("2006"), QStringLiteral("2013"), QStringLiteral("2055"), QStringLiteral("1053"),
        QStringLiteral("1927"), QStringLiteral("4031")};
    if (failure.mysqlServer && lostCodes.contains(failure.nativeCode))
        return true;
    if (failure.driver == QLatin1String("QIBASE"))
        return failure.nativeCode == QLatin1String("-902");
    if (failure.driver == QLatin1String("QODBC")) {
        static const QStringList texts {QStringLiteral("connection lost"),
            QStringLiteral("connection has been lost"), QStringLiteral("connection not open"),
            QStringLiteral("connection dead"), QStringLiteral("no connection to the server"),
            QStringLiteral("server closed the connection")};
        const QString text = failure.text.toLower();
        return std::any_of(texts.cbegin(), texts.cend(), [&](const QString &t) { return text.contains(t); });
    }
    return false;
}

// SQLSTATEs: query_canceled (statement_timeout), lock_not_available
// (lock_timeout), ODBC's query and connection time-outs. SQLite: SQLITE_BUSY
// and SQLITE_LOCKED. MySQL: a lock wait, a statement over MySQL's or
// MariaDB's statement time-out.
bool timedOut(const Failure &failure)
{
    if (failure.type == QSqlError::NoError)
        return false;
    static const QStringList states {
        QStringLiteral("57014"), QStringLiteral("55P03"), QStringLiteral("HYT00"), QStringLiteral("HYT01")};
    if (states.contains(sqlState(failure)))
        return true;
    if (failure.driver == QLatin1String("QSQLITE"))
        return failure.nativeCode == QLatin1String("5") || failure.nativeCode == QLatin1String("6");
    static const QStringList timeoutCodes {
        QStringLiteral("1205"), QStringLiteral("3024"), QStringLiteral("1969")};
    if (failure.mysqlServer && timeoutCodes.contains(failure.nativeCode))
        return true;
    // A client library that gives up on a read drops the connection: lost,
    // but only after the whole time-out, so the database was busy, not gone.
    return failure.timeoutMs > 0 && failure.tookMs >= failure.timeoutMs && connectionLost(failure);
}

bool keepsPrepared(const QString &driver)
{
    return driver != QLatin1String("QIBASE");
}

int retryAfterSeconds(int waitMs)
{
    return qMax(1, (waitMs + 999) / 1000);
}

bool reopenAllowed(const QElapsedTimer &lastReopen, int intervalMs)
{
    return !lastReopen.isValid() || lastReopen.elapsed() >= intervalMs;
}

QString maskCredentials(const QString &text)
{
    // key=value pairs split by ";"; a value in braces may hold ";", and
    // writes "}" as "}}".
    static const QRegularExpression credential(
        QStringLiteral("((?:^|;)\\s*(?:pwd|password|passwd)\\s*=\\s*)(\\{(?:[^}]|\\}\\})*\\}|[^;]*)"),
        QRegularExpression::CaseInsensitiveOption);
    QString masked = text;
    return masked.replace(credential, QStringLiteral("\\1********"));
}

QString cp1251DisplayForm(const QString &userName)
{
    // ASCII comes back from the round trip as it went in; only the NUL rule
    // applies. Most names are ASCII, and the codec is the costly part.
    const bool ascii
        = std::all_of(userName.cbegin(), userName.cend(), [](QChar c) { return c.unicode() < 0x80; });
    if (ascii) {
        const int nul = userName.indexOf(QChar(0));
        return nul < 0 ? userName : userName.left(nul);
    }

    // Looked up once: the codec registry is searched by name on every call.
    static const QTextCodec *const codec = QTextCodec::codecForName("CP1251");
    if (!codec)
        return userName;
    const QByteArray bytes = codec->fromUnicode(userName);
    return QString::fromUtf8(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
}

} // namespace Sql
