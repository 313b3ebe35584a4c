#include "database.h"

#include <QSqlError>
#include <QSqlRecord>

Database::Database(const QString &connectionName) : m_connectionName(connectionName)
{ }

QSqlDatabase Database::configure(const ConnectionSettings &settings)
{
    m_prepared.clear();
    m_db = QSqlDatabase::addDatabase(settings.driver, m_connectionName);
    m_db.setHostName(settings.host);
    m_db.setPort(settings.port);
    m_db.setDatabaseName(settings.name);
    m_db.setUserName(settings.user);
    m_db.setPassword(settings.password);
    m_db.setConnectOptions(Sql::connectOptions(settings.driver, settings.timeoutSeconds, settings.options));
    return m_db;
}

void Database::setLimits(const Limits &limits)
{
    m_limits = limits;
    m_gate.setRetryInterval(limits.reopenIntervalMs);
}

bool Database::open()
{
    return m_db.open();
}

bool Database::runTestQuery(const QString &text, QString *error)
{
    QSqlQuery query(m_db);
    if (!query.exec(text)) {
        *error = query.lastError().text();
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
    bool ok = execute(statement, query);
    // A statement that ran out of time met a busy database, not a lost
    // connection: running it again would only double the wait.
    if (!ok && !Sql::timedOut(query.lastError()) && Sql::connectionLost(m_db.isOpen(), query.lastError())
        && reopen(result))
        ok = execute(statement, query);

    ++m_counters.statements;
    if (!ok) {
        const QSqlError error = query.lastError();
        result.timedOut = Sql::timedOut(error);
        ++m_counters.failures;
        m_counters.timeouts += result.timedOut;
        result.error = error.text();
        result.connectionError = m_db.lastError().text();
        result.unavailable = result.timedOut || Sql::connectionLost(m_db.isOpen(), error);
        query.finish();
        return result;
    }

    result.ok = true;
    const QSqlRecord record = query.record();
    const int columns = record.count();
    for (int i = 0; i < columns; ++i)
        result.columns << record.fieldName(i);
    result.resultIndex = record.indexOf(statement.resultColumn);
    while (query.next()) {
        QStringList row;
        row.reserve(columns);
        for (int i = 0; i < columns; ++i)
            row << query.value(i).toString();
        result.rows << row;
    }
    query.finish(); // a statement kept prepared stays so; its read ends here
    return result;
}

void Database::submit(const Statement &statement, ResultHandler done)
{
    if (m_gate.admit() == FailFastGate::Admission::FailFast) {
        ++m_counters.statements;
        ++m_counters.failures;
        ++m_counters.failedFast;
        done(m_gate.refusal(m_db.lastError().text()));
        return;
    }
    StatementResult result = run(statement);
    m_gate.settle(result);
    done(result);
}

// Preparing costs as much as running a lookup on an index, so a statement is
// prepared once per session and then only bound and run.
bool Database::execute(const Statement &statement, QSqlQuery &query)
{
    if (!statement.prepared) {
        query = QSqlQuery(m_db);
        return query.exec(statement.text);
    }
    const auto cached = m_prepared.constFind(statement.text);
    if (cached != m_prepared.cend()) {
        query = *cached; // shares the prepared statement
    } else {
        query = QSqlQuery(m_db);
        // A statement that does not prepare fails in exec(), and is tried afresh
        // next time; one that ran out of time preparing keeps that error.
        if (query.prepare(statement.text))
            m_prepared.insert(statement.text, query);
        else if (Sql::timedOut(query.lastError()))
            return false;
    }
    for (auto it = statement.named.cbegin(); it != statement.named.cend(); ++it)
        query.bindValue(it.key(), it.value(), QSql::In);
    for (const QVariant &value : statement.positional)
        query.addBindValue(value, QSql::In);
    return query.exec();
}

// The prepared statements belonged to the lost session, so they go with it.
bool Database::reopen(StatementResult &result)
{
    if (!Sql::reopenAllowed(m_lastReopen, m_limits.reopenIntervalMs))
        return false;
    m_lastReopen.start();
    ++m_counters.reopenAttempts;
    m_prepared.clear();
    m_db.close();
    if (m_db.open()) {
        ++m_counters.reopens;
        result.reopen = StatementResult::Reopen::Succeeded;
        return true;
    }
    result.reopen = StatementResult::Reopen::Failed;
    result.reopenError = m_db.lastError().text();
    return false;
}
