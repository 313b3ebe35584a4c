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

QStringList missingCheckPlaceholders(const QString &query)
{
    QStringList missing;
    for (const QString &name : {QStringLiteral(":s1"), QStringLiteral(":s2")}) {
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

std::optional<QString> lastRowValue(const StatementResult &result)
{
    if (!result.ok || result.rows.isEmpty())
        return std::nullopt;
    return result.resultIndex < 0 ? QString() : result.rows.last().at(result.resultIndex);
}

// How a lost server shows, as observed with QPSQL (Qt 5.15, libpq 15) against
// a server stopped or restarted under an open connection: the failing
// statement reports QSqlError::StatementError with the native code "57P01"
// ("terminating connection due to administrator command") when the server
// ended the session, or no native code and "no connection to the server" when
// the session was already gone; either way the driver then marks the
// connection closed, so isOpen() is false from that statement on, and later
// statements fail with "database not open" and no error at all. A syntax
// error (native code "42601") leaves the connection open. isOpen() is
// therefore what decides; the connection-class SQLSTATEs cover drivers that
// keep claiming an open connection after losing it.
bool connectionLost(bool connectionOpen, const QSqlError &error)
{
    if (!connectionOpen || error.type() == QSqlError::ConnectionError)
        return true;
    const QString state = error.nativeErrorCode();
    return state.size() == 5
        && (state.startsWith(QLatin1String("08")) // connection exception
            || state == QLatin1String("57P01")    // administrator shutdown
            || state == QLatin1String("57P02")    // crash shutdown
            || state == QLatin1String("57P03"));  // cannot connect now
}

QString connectOptions(const QString &driver, int timeoutSeconds, const QString &configured)
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
            options << QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=") + seconds
                    << QStringLiteral("MYSQL_OPT_READ_TIMEOUT=") + seconds
                    << QStringLiteral("MYSQL_OPT_WRITE_TIMEOUT=") + seconds;
        } else if (driver == QLatin1String("QODBC")) {
            options << QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=") + seconds
                    << QStringLiteral("SQL_ATTR_CONNECTION_TIMEOUT=") + seconds;
        }
    }
    if (!configured.isEmpty())
        options << configured;
    return options.join(QLatin1Char(';'));
}

// PostgreSQL: query_canceled (statement_timeout) and lock_not_available
// (lock_timeout). SQLite: SQLITE_BUSY and SQLITE_LOCKED. MySQL: a lock wait
// and a statement that ran out of time.
bool timedOut(const QSqlError &error)
{
    static const QStringList codes {QStringLiteral("57014"), QStringLiteral("55P03"), QStringLiteral("5"),
        QStringLiteral("6"), QStringLiteral("1205"), QStringLiteral("3024")};
    return error.type() != QSqlError::NoError && codes.contains(error.nativeErrorCode());
}

int retryAfterSeconds(int waitMs)
{
    return qMax(1, (waitMs + 999) / 1000);
}

bool reopenAllowed(const QElapsedTimer &lastReopen, int intervalMs)
{
    return !lastReopen.isValid() || lastReopen.elapsed() >= intervalMs;
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
