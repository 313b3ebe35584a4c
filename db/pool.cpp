#include "pool.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QThread>
#include <QTimer>

PoolWorker::PoolWorker(
    const ConnectionSettings &settings, const QString &connectionName, const Database::Limits &limits)
    : m_settings(settings), m_connectionName(connectionName), m_limits(limits)
{ }

PoolWorker::~PoolWorker()
{
    if (!m_database)
        return;
    m_database.reset(); // its handle and prepared statements go first
    QSqlDatabase::removeDatabase(m_connectionName);
}

void PoolWorker::open()
{
    m_database = std::make_unique<Database>(m_connectionName);
    m_database->setLimits(m_limits);
    m_database->configure(m_settings);
    // A connection that does not open now is reopened by its first statement.
    m_database->open();
}

void PoolWorker::run(quint64 id, const Statement &statement)
{
    emit finished(id, m_database->run(statement));
}

ConnectionPool::ConnectionPool(
    const ConnectionSettings &settings, int size, const Limits &limits, QObject *parent)
    : QObject(parent), m_limits(limits), m_gate(limits.database.reopenIntervalMs)
{
    qRegisterMetaType<StatementResult>();
    m_workers.resize(size);
    for (int i = 0; i < size; ++i) {
        Slot &slot = m_workers[i];
        slot.thread = new QThread(this);
        slot.thread->setObjectName(QStringLiteral("db-pool-%1").arg(i + 1));
        slot.worker
            = new PoolWorker(settings, QStringLiteral("tovr_merk_pool_%1").arg(i + 1), limits.database);
        slot.worker->moveToThread(slot.thread);
        connect(slot.thread, &QThread::finished, slot.worker, &QObject::deleteLater);
        connect(slot.worker, &PoolWorker::finished, this,
            [this, i](quint64 id, const StatementResult &result) { finished(i, id, result); });
        slot.thread->start();
        QMetaObject::invokeMethod(slot.worker, &PoolWorker::open, Qt::QueuedConnection);
    }
}

ConnectionPool::~ConnectionPool()
{
    for (Slot &slot : m_workers)
        slot.thread->quit();
    // One wait for all: a connection whose server stopped answering holds its
    // thread in a driver call (or in letting its prepared statements go).
    const QDeadlineTimer deadline(m_limits.stopWaitMs);
    for (Slot &slot : m_workers) {
        if (slot.thread->wait(deadline))
            continue;
        // Nothing can interrupt that call: the thread and its connection are
        // left to end with the process.
        qDebug() << "[e] a database connection is still busy; its thread is left to end with the process";
        slot.thread->setParent(nullptr);
        disconnect(slot.worker, nullptr, this, nullptr);
    }
}

void ConnectionPool::submit(const Statement &statement, ResultHandler done)
{
    if (m_gate.admit() == FailFastGate::Admission::FailFast) {
        ++m_counters.failedFast;
        StatementResult refused = m_gate.refusal(m_gate.reason());
        count(refused);
        done(refused);
        return;
    }
    const quint64 id = ++m_lastId;
    Request &request = m_requests[id];
    request.statement = statement;
    request.done = std::move(done);
    if (m_limits.deadlineMs > 0) {
        request.deadline = new QTimer(this);
        request.deadline->setSingleShot(true);
        connect(request.deadline, &QTimer::timeout, this, [this, id] { expire(id); });
        request.deadline->start(m_limits.deadlineMs);
    }
    m_waiting.append(id);
    dispatch();
}

void ConnectionPool::dispatch()
{
    for (int i = 0; i < m_workers.size() && !m_waiting.isEmpty(); ++i) {
        Slot &slot = m_workers[i];
        if (slot.busyWith != 0)
            continue;
        const quint64 id = m_waiting.takeFirst();
        slot.busyWith = id;
        PoolWorker *worker = slot.worker;
        const Statement statement = m_requests.value(id).statement;
        QMetaObject::invokeMethod(
            worker, [worker, id, statement] { worker->run(id, statement); }, Qt::QueuedConnection);
    }
}

void ConnectionPool::finished(int slot, quint64 id, const StatementResult &result)
{
    m_workers[slot].busyWith = 0;
    const auto it = m_requests.find(id);
    if (it == m_requests.end()) {
        // Answered as timed out already; the reopen it may have made still counts.
        m_counters.reopenAttempts += result.reopen != StatementResult::Reopen::None;
        m_counters.reopens += result.reopen == StatementResult::Reopen::Succeeded;
    } else {
        Request request = it.value();
        m_requests.erase(it);
        answer(std::move(request), result);
    }
    dispatch();
}

void ConnectionPool::expire(quint64 id)
{
    const auto it = m_requests.find(id);
    if (it == m_requests.end())
        return;
    Request request = it.value();
    m_requests.erase(it);
    m_waiting.removeOne(id);
    StatementResult result;
    result.timedOut = true;
    result.error = QStringLiteral("no answer from the database within %1 ms").arg(m_limits.deadlineMs);
    result.connectionError = result.error;
    result.unavailable = true;
    answer(std::move(request), result);
}

void ConnectionPool::answer(Request request, StatementResult result)
{
    if (request.deadline) {
        // Possibly inside its own timeout signal: let it go from the event loop.
        request.deadline->stop();
        request.deadline->deleteLater();
    }
    m_gate.settle(result);
    count(result);
    request.done(result);
}

void ConnectionPool::count(const StatementResult &result)
{
    ++m_counters.statements;
    m_counters.failures += !result.ok;
    m_counters.timeouts += result.timedOut;
    m_counters.reopenAttempts += result.reopen != StatementResult::Reopen::None;
    m_counters.reopens += result.reopen == StatementResult::Reopen::Succeeded;
}
