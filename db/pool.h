#ifndef POOL_H
#define POOL_H

#include "database.h"
#include "statement.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QVector>

#include <memory>

class QThread;
class QTimer;

// One connection on a thread of its own: Qt's connections belong to the
// thread that made them. Lives in that thread; the pool talks to it through
// queued calls and its finished signal.
class PoolWorker : public QObject
{
    Q_OBJECT

public:
    PoolWorker(
        const ConnectionSettings &settings, const QString &connectionName, const Database::Limits &limits);
    ~PoolWorker() override;

    // Both run on the worker's thread.
    void open();
    void run(quint64 id, const Statement &statement);
    QString connectionName() const { return m_connectionName; }

signals:
    void finished(quint64 id, const StatementResult &result);

private:
    ConnectionSettings m_settings;
    QString m_connectionName;
    Database::Limits m_limits;
    std::unique_ptr<Database> m_database;
};

// Statements on N connections, each on its own thread, so the submitting
// thread never waits for the database. A statement waits for a free
// connection in arrival order; one not answered by its deadline is answered
// as timed out from the submitting thread, and its late result is dropped.
// The connection that was running it is retired: its thread is left to
// finish the driver call that no time-out ends, and a fresh connection takes
// its place, with at most N retired at once. Fails fast while the database
// is known not to answer, as Database does.
class ConnectionPool : public QObject, public StatementExecutor
{
    Q_OBJECT

public:
    // Past sql/timeout, a driver's own time-out still gets the first word,
    // so its connection is kept.
    static constexpr int DriverGraceMs = 500;

    struct Limits
    {
        int deadlineMs = Sql::DefaultTimeoutSeconds * 1000 + DriverGraceMs; // from submit to result; 0: none
        Database::Limits database;
        // How long the pool's destructor waits for a connection still busy
        // in a driver call before it leaves that thread to end with the process.
        int stopWaitMs = 2000;
    };

    // Makes size connections from settings and opens them on their threads.
    ConnectionPool(
        const ConnectionSettings &settings, int size, const Limits &limits, QObject *parent = nullptr);
    ~ConnectionPool() override;

    void submit(const Statement &statement, ResultHandler done) override;
    int size() const { return m_workers.size(); }
    // Lets every connection go on its own, for a pool with no statement left
    // to answer: each thread ends once its call returns and is deleted then,
    // so destroying the pool waits for none of them.
    void release();

private:
    struct Request
    {
        Statement statement;
        ResultHandler done;
        QTimer *deadline = nullptr;
    };
    struct Slot
    {
        QThread *thread = nullptr;
        PoolWorker *worker = nullptr;
        quint64 busyWith = 0; // request id; 0: free
    };

    // A fresh connection on a thread of its own in slot i.
    void startWorker(int i);
    // Leaves slot i's connection to finish on its own and starts another.
    void retire(int i);
    void dispatch();
    void finished(int slot, quint64 id, const StatementResult &result);
    void expire(quint64 id);
    void answer(Request request, StatementResult result);

    Limits m_limits;
    ConnectionSettings m_settings;
    QVector<Slot> m_workers;
    QList<QThread *> m_retired; // still in a driver call
    QHash<quint64, Request> m_requests;
    QList<quint64> m_waiting; // in arrival order
    quint64 m_lastId = 0;
};

#endif // POOL_H
