#ifndef EXECUTOR_H
#define EXECUTOR_H

#include "failfast.h"
#include "statement.h"

#include <QString>

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

private:
    void count(const StatementResult &result);

    FailFastGate m_gate;
    bool m_answering = false;
};

#endif // EXECUTOR_H
