#include "executor.h"

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
