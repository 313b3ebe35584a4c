#include "pool.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QThread>
#include <QTimer>

#include <atomic>

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
    : QObject(parent), StatementExecutor(limits.database.reopenIntervalMs), m_limits(limits),
      m_settings(settings)
{
    qRegisterMetaType<StatementResult>();
    m_servers = settings.servers;
    m_workers.resize(size);
    for (int i = 0; i < size; ++i)
        startWorker(i);
}

ConnectionPool::~ConnectionPool()
{
    QList<QThread *> threads = m_retired;
    for (Slot &slot : m_workers) {
        disconnect(slot.worker, nullptr, this, nullptr);
        threads << slot.thread;
    }
    for (QThread *thread : qAsConst(threads))
        thread->quit();
    // One wait for all: a connection whose server stopped answering holds its
    // thread in a driver call (or in letting its prepared statements go).
    const QDeadlineTimer deadline(m_limits.stopWaitMs);
    for (QThread *thread : qAsConst(threads)) {
        if (thread->wait(deadline))
            continue;
        // Nothing can interrupt that call: the thread and its connection are
        // left to end with the process.
        qWarning() << "[e] a database connection is still busy; its thread is left to end with the process";
        disconnect(thread, nullptr, this, nullptr);
        thread->setParent(nullptr);
    }
}

void ConnectionPool::release()
{
    QList<QThread *> threads = m_retired;
    for (Slot &slot : m_workers) {
        disconnect(slot.worker, nullptr, this, nullptr);
        threads << slot.thread;
    }
    m_retired.clear();
    m_workers.clear();
    for (QThread *thread : qAsConst(threads)) {
        disconnect(thread, nullptr, this, nullptr);
        thread->setParent(nullptr);
        connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        thread->quit();
    }
}

void ConnectionPool::startWorker(int i)
{
    Slot &slot = m_workers[i];
    slot.busyWith = 0;
    slot.thread = new QThread(this);
    slot.thread->setObjectName(QStringLiteral("db-pool-%1").arg(i + 1));
    // Every connection has a name of its own in the process: a retired one, or
    // one of a pool a reload replaced, may still hold its name.
    static std::atomic<quint64> lastConnection {0};
    slot.worker = new PoolWorker(
        m_settings, QStringLiteral("tovr_merk_pool_%1").arg(++lastConnection), m_limits.database);
    slot.worker->moveToThread(slot.thread);
    connect(slot.thread, &QThread::finished, slot.worker, &QObject::deleteLater);
    PoolWorker *worker = slot.worker;
    connect(worker, &PoolWorker::finished, this,
        [this, i](quint64 id, const StatementResult &result) { finished(i, id, result); });
    slot.thread->start();
    QMetaObject::invokeMethod(worker, &PoolWorker::open, Qt::QueuedConnection);
}

void ConnectionPool::retire(int i)
{
    if (m_retired.size() >= m_workers.size())
        return; // enough threads wait already: this slot stays busy until its call returns
    Slot &slot = m_workers[i];
    QThread *thread = slot.thread;
    disconnect(slot.worker, nullptr, this, nullptr);
    if (m_servers) // a retired connection's name is not used again: every retirement would leave one
        m_servers->forget(slot.worker->connectionName());
    m_retired << thread;
    connect(thread, &QThread::finished, this, [this, thread] {
        m_retired.removeOne(thread);
        thread->deleteLater();
    });
    thread->quit(); // once its call returns
    ++m_counters.retired;
    qWarning().noquote() << QStringLiteral(
        "[e] database connection %1 gave no answer within %2 ms; it is retired "
        "and a fresh one takes its place")
                                .arg(i + 1)
                                .arg(m_limits.deadlineMs);
    startWorker(i);
}

void ConnectionPool::submit(const Statement &statement, ResultHandler done)
{
    if (refuse(done, failingReason()))
        return;
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
    // A retired connection's result may have been on its way when it was
    // retired; the slot belongs to a fresh connection since.
    if (m_workers[slot].busyWith != id)
        return;
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
    for (int i = 0; i < m_workers.size(); ++i) {
        if (m_workers[i].busyWith != id)
            continue;
        // A server that holds a statement past its deadline is taken for
        // hung: new connections go elsewhere, and the idle ones on it follow.
        const int server = m_servers ? m_servers->serverOf(m_workers[i].worker->connectionName()) : -1;
        if (server >= 0)
            m_servers->failed(server, QStringLiteral("gave no answer within %1 ms").arg(m_limits.deadlineMs));
        retire(i);
    }
    StatementResult result;
    result.timedOut = result.serverLeft = true;
    result.error = QStringLiteral("no answer from the database within %1 ms").arg(m_limits.deadlineMs);
    result.connectionError = result.error;
    result.unavailable = true;
    answer(std::move(request), result);
    dispatch(); // to the fresh connection, if one was started
}

void ConnectionPool::answer(Request request, StatementResult result)
{
    if (request.deadline) {
        // Possibly inside its own timeout signal: let it go from the event loop.
        request.deadline->stop();
        request.deadline->deleteLater();
    }
    settle(result);
    request.done(result);
}
