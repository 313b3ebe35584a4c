#include "database.h"
#include "odbc.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlRecord>

#include <cstring>
#include <link.h>

namespace {
// Oracle's MySQL client library tries a read that timed out three times in
// all; MariaDB's, which Debian builds the QMYSQL driver on, once.
int mysqlReadAttempts()
{
    const int found
        = ::dl_iterate_phdr([](dl_phdr_info *info, size_t,
                                void *) { return std::strstr(info->dlpi_name, "libmysqlclient") ? 1 : 0; },
            nullptr);
    return found ? 3 : 1;
}
} // namespace

bool StatementExecutor::refuse(const ResultHandler &done, const QString &connectionError)
{
    if (m_gate.admit() != FailFastGate::Admission::FailFast)
        return false;
    ++m_counters.failedFast;
    const StatementResult refused = m_gate.refusal(connectionError);
    count(refused);
    done(refused);
    return true;
}

void StatementExecutor::settle(StatementResult &result)
{
    // With another server to go to, the next statement goes there rather
    // than fail fast against the one that was lost; one that only ran out of
    // time is failed fast as with one server.
    const bool elsewhere = result.unavailable && (result.serverLeft || !result.timedOut);
    if (!(elsewhere && m_servers && m_servers->anyUsable()))
        m_gate.settle(result);
    count(result);
}

void StatementExecutor::count(const StatementResult &result)
{
    m_answering = !result.unavailable;
    ++m_counters.statements;
    m_counters.failures += !result.ok;
    m_counters.timeouts += result.timedOut;
    m_counters.reopenAttempts += result.reopen != StatementResult::Reopen::None;
    m_counters.reopens += result.reopen == StatementResult::Reopen::Succeeded;
}

Database::Database(const QString &connectionName)
    : StatementExecutor(Sql::ReopenIntervalMs), m_connectionName(connectionName)
{ }

QSqlDatabase Database::configure(const ConnectionSettings &settings)
{
    m_prepared.clear();
    m_driver = settings.driver;
    m_timeoutSeconds = settings.timeoutSeconds;
    m_serverProduct.clear();
    m_mysqlServer = Sql::mysqlFamily(m_driver, m_serverProduct);
    m_servers = settings.servers;
    m_server = -1;
    m_db = QSqlDatabase::addDatabase(settings.driver, m_connectionName);
    m_db.setHostName(settings.host);
    m_db.setPort(settings.port);
    m_db.setDatabaseName(settings.name);
    m_db.setUserName(settings.user);
    m_db.setPassword(settings.password);
    // The driver's library is loaded now, so it can be asked how it reads.
    const int readAttempts = settings.driver == QLatin1String("QMYSQL") ? mysqlReadAttempts() : 1;
    m_db.setConnectOptions(
        Sql::connectOptions(settings.driver, settings.timeoutSeconds, settings.options, readAttempts));
    return m_db;
}

void Database::release()
{
    m_prepared.clear();
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

void Database::setLimits(const Limits &limits)
{
    m_limits = limits;
    setRetryInterval(limits.reopenIntervalMs);
}

bool Database::open()
{
    m_openTried = true;
    return m_servers ? openOnList() : openSession();
}

QString Database::openError() const
{
    return m_servers && m_server < 0 && !m_openError.isEmpty()
        ? m_openError
        : Sql::maskCredentials(m_db.lastError().text());
}

bool Database::openOnList()
{
    QStringList tried;
    for (const int i : m_servers->order()) {
        const Sql::ServerEntry &server = m_servers->entries().at(i);
        m_db.close();
        if (server.dsn.isEmpty()) {
            m_db.setHostName(server.host);
            m_db.setPort(server.port);
        } else {
            m_db.setDatabaseName(server.dsn);
        }
        QString why;
        if (openSession() && wanted(server, &why)) {
            m_server = i;
            m_openedAtMs = m_servers->now();
            m_openError.clear();
            m_servers->opened(i, m_connectionName);
            return true;
        }
        if (why.isEmpty())
            why = QStringLiteral("found dead: ") + Sql::maskCredentials(m_db.lastError().text()).simplified();
        m_db.close();
        m_servers->failed(i, why);
        tried << server.name() + QStringLiteral(" ") + why;
    }
    m_server = -1;
    m_openError = tried.join(QStringLiteral("; "));
    return false;
}

bool Database::wanted(const Sql::ServerEntry &server, QString *why)
{
    const QString text = Sql::readOnlyQuery(m_driver, m_serverProduct);
    if (m_servers->target() != Sql::Target::Primary)
        return true;
    if (text.isEmpty()) {
        // At start the configuration said so for a driver that never can;
        // through ODBC only the server's product tells.
        if (!m_serverProduct.isEmpty() && !m_untoldSaid)
            qWarning().noquote() << QStringLiteral(
                "[e] database server %1 is %2, which cannot tell whether it takes writes; "
                "sql/target=primary takes it")
                                        .arg(server.name(), m_serverProduct);
        m_untoldSaid = true;
        return true;
    }
    QSqlQuery query(m_db);
    if (!query.exec(text) || !query.next()) {
        *why = QStringLiteral("cannot tell whether it takes writes: ")
            + Sql::maskCredentials(query.lastError().text()).simplified();
        return false;
    }
    if (!query.value(0).toBool())
        return true;
    *why = QStringLiteral("takes no writes, and sql/target is primary");
    return false;
}

bool Database::serverFailedElsewhere() const
{
    return m_servers && m_server >= 0 && m_db.isOpen() && m_servers->failedSince(m_server, m_openedAtMs);
}

bool Database::openSession()
{
    if (!m_db.open())
        return false;
    if (m_driver == QLatin1String("QODBC")) {
        if (m_timeoutSeconds > 0)
            Odbc::setQueryTimeout(m_db, m_timeoutSeconds);
        m_serverProduct = Odbc::serverProduct(m_db);
        m_mysqlServer = Sql::mysqlFamily(m_driver, m_serverProduct);
    }
    for (const QString &statement : Sql::sessionStatements(m_mysqlServer, m_timeoutSeconds)) {
        if (QSqlQuery(m_db).exec(statement))
            break;
    }
    return true;
}

bool Database::runTestQuery(const QString &text, QString *error)
{
    QSqlQuery query(m_db);
    if (!query.exec(text)) {
        *error = Sql::maskCredentials(query.lastError().text());
        return false;
    }
    query.record();
    while (query.next()) {
        // The rows only prove the statement runs to the end.
    }
    return true;
}

StatementResult Database::run(const Statement &statement)
{
    StatementResult result;
    QSqlQuery query(m_db); // never the default connection: this one may live on another thread
    QElapsedTimer took;
    took.start();
    // A connection never opened is opened now (one a reload configured); one
    // closed as lost is reopened first (when the rate limit allows), rather
    // than have the statement meet it closed.
    if (!m_db.isOpen() && !m_openTried) {
        m_lastReopen.start();
        this->open();
    }
    // Another connection found this one's server dead: this one goes too,
    // closed before its prepared statements go, which would otherwise wait
    // on that server to let them go.
    if (serverFailedElsewhere()) {
        m_db.close();
        m_prepared.clear();
        this->open();
    }
    m_shutAtDeadline = false;
    const bool open = m_db.isOpen() || reopen(result);
    bool ok = open && executeWatched(statement, query, result);
    Sql::Failure failed;
    if (!open) {
        failed.driver = m_driver;
        failed.connectionOpen = false;
        failed.text = openError();
        if (failed.text.isEmpty())
            failed.text = QStringLiteral("no connection to the database");
    } else if (!ok) {
        failed = failure(query, took.elapsed());
        // A statement that ran out of time met a busy database, not a lost
        // connection: running it again would only double the wait.
        if (!m_shutAtDeadline && !Sql::timedOut(failed) && Sql::connectionLost(failed) && reopen(result)) {
            took.restart();
            ok = executeWatched(statement, query, result);
            if (!ok)
                failed = failure(query, took.elapsed());
        }
    }

    if (ok) {
        result.ok = true;
        m_workedSinceReopen = true;
        query.finish(); // a statement kept prepared stays so; its read ends here
        return result;
    }
    result.timedOut = Sql::timedOut(failed) || m_shutAtDeadline;
    const bool lost = Sql::connectionLost(failed) || m_shutAtDeadline;
    result.error = m_shutAtDeadline
        ? QStringLiteral("no answer from the database within %1 ms; its connection was shut")
              .arg(m_limits.socketDeadlineMs)
        : Sql::maskCredentials(failed.text);
    result.connectionError = Sql::maskCredentials(m_db.lastError().text());
    result.unavailable = result.timedOut || lost;
    result.serverLeft = lost;
    result.columns.clear();
    result.rows.clear();
    query = QSqlQuery(m_db); // the failed statement let go of; never the default connection, as above
    if (lost && result.timedOut && m_servers && m_server >= 0)
        m_servers->failed(m_server,
            m_shutAtDeadline ? QStringLiteral("gave no answer within %1 ms").arg(m_limits.socketDeadlineMs)
                             : QStringLiteral("gave no answer within %1 s").arg(m_timeoutSeconds));
    if (lost) {
        // Some drivers go on calling a lost connection open: closed here, the
        // next statement reopens it rather than meet the same error.
        m_prepared.clear();
        m_db.close();
    }
    return result;
}

void Database::submit(const Statement &statement, ResultHandler done)
{
    if (refuse(done, openError()))
        return;
    StatementResult result = run(statement);
    settle(result);
    done(result);
}

// Preparing costs as much as running a lookup on an index, so a statement is
// prepared once per session and then only bound and run. Every row is read
// here: a connection can also fail between rows.
bool Database::execute(const Statement &statement, QSqlQuery &query, StatementResult &result)
{
    if (!statement.prepared) {
        query = QSqlQuery(m_db);
        if (!query.exec(statement.text))
            return false;
    } else {
        const auto cached = m_prepared.constFind(statement.text);
        if (cached != m_prepared.cend()) {
            query = *cached; // shares the prepared statement
        } else {
            query = QSqlQuery(m_db);
            // A statement that does not prepare fails with the prepare's error
            // (some drivers' exec() would fail without one), and is tried
            // afresh next time.
            if (!query.prepare(statement.text))
                return false;
            ++m_prepares;
            if (Sql::keepsPrepared(m_driver))
                m_prepared.insert(statement.text, query);
        }
        for (auto it = statement.named.cbegin(); it != statement.named.cend(); ++it)
            query.bindValue(it.key(), it.value(), QSql::In);
        for (const QVariant &value : statement.positional)
            query.addBindValue(value, QSql::In);
        if (!query.exec())
            return false;
    }

    const QSqlRecord record = query.record();
    const int columns = record.count();
    result.columns.clear();
    for (int i = 0; i < columns; ++i)
        result.columns << record.fieldName(i);
    result.resultIndex = record.indexOf(statement.resultColumn);
    result.rows.clear();
    while (query.next()) {
        QStringList row;
        row.reserve(columns);
        for (int i = 0; i < columns; ++i)
            row << query.value(i).toString();
        result.rows << row;
    }
    return query.lastError().type() == QSqlError::NoError;
}

bool Database::executeWatched(const Statement &statement, QSqlQuery &query, StatementResult &result)
{
    // Only with a list of servers, where a next one waits: one server keeps
    // its connection and its wait exactly as it always had them.
    const int socket = m_servers && m_limits.socketDeadlineMs > 0 ? SocketDeadline::postgresSocket(m_db) : -1;
    if (socket >= 0 && !m_socketDeadline)
        m_socketDeadline = std::make_unique<SocketDeadline>(); // its thread, once PostgreSQL is in use
    if (socket < 0 || !m_socketDeadline->arm(socket, m_limits.socketDeadlineMs))
        return execute(statement, query, result);
    const bool ok = execute(statement, query, result);
    m_shutAtDeadline = m_socketDeadline->disarm();
    return ok && !m_shutAtDeadline;
}

Sql::Failure Database::failure(const QSqlQuery &query, qint64 tookMs) const
{
    const QSqlError error = query.lastError();
    Sql::Failure f;
    f.driver = m_driver;
    f.connectionOpen = m_db.isOpen();
    f.type = error.type();
    f.nativeCode = error.nativeErrorCode();
    f.text = error.text();
    if (m_driver == QLatin1String("QODBC"))
        f.sqlState = Odbc::sqlState(query, m_db);
    f.mysqlServer = m_mysqlServer;
    f.tookMs = tookMs;
    f.timeoutMs = m_timeoutSeconds * 1000;
    return f;
}

// The prepared statements belonged to the lost session, so they go with it.
bool Database::reopen(StatementResult &result)
{
    // With a list, a connection that worked since its last reopen moves on at once: the interval holds
    // back tries of servers that keep failing, not a move away from one that has just gone (a rolling
    // restart: the first server back, then the second down).
    if (!(m_servers && m_workedSinceReopen) && !Sql::reopenAllowed(m_lastReopen, m_limits.reopenIntervalMs))
        return false;
    m_workedSinceReopen = false;
    m_lastReopen.start();
    m_prepared.clear();
    m_db.close();
    if (open()) {
        result.reopen = StatementResult::Reopen::Succeeded;
        return true;
    }
    result.reopen = StatementResult::Reopen::Failed;
    result.reopenError = openError();
    return false;
}
