#include "failfast.h"

FailFastGate::Admission FailFastGate::admit()
{
    if (!m_failing)
        return Admission::Run;
    if (m_lastTry.elapsed() < m_intervalMs)
        return Admission::FailFast;
    m_lastTry.start();
    return Admission::Probe;
}

FailFastGate::Change FailFastGate::report(Outcome outcome, const QString &reason)
{
    if (outcome != Outcome::Unavailable) {
        // The database answered: its errors are the statement's own.
        m_failing = false;
        if (outcome == Outcome::StatementError || !m_recoveryUnsaid)
            return Change::None;
        m_recoveryUnsaid = false;
        return Change::Ended;
    }
    if (m_failing) {
        // A probe that failed. The interval counts from its end: a probe that
        // waited out a time-out must not be followed by another at once.
        m_lastTry.start();
        return Change::None;
    }
    m_failing = true;
    m_reason = reason;
    m_lastTry.start();
    if (m_recoveryUnsaid)
        return Change::None; // still the window that started before; said once
    m_recoveryUnsaid = true;
    return Change::Started;
}

int FailFastGate::msUntilRetry() const
{
    return m_failing ? int(qMax<qint64>(0, m_intervalMs - m_lastTry.elapsed())) : 0;
}

StatementResult FailFastGate::refusal(const QString &connectionError) const
{
    StatementResult result;
    result.error = QStringLiteral("database unavailable: ") + m_reason;
    result.connectionError = connectionError;
    result.unavailable = true;
    result.retryAfterMs = msUntilRetry();
    return result;
}

void FailFastGate::settle(StatementResult &result)
{
    const Outcome outcome = result.ok ? Outcome::Ok
        : result.unavailable          ? Outcome::Unavailable
                                      : Outcome::StatementError;
    switch (report(outcome, result.error)) {
    case Change::Started:
        result.failFast = StatementResult::FailFast::Started;
        break;
    case Change::Ended:
        result.failFast = StatementResult::FailFast::Ended;
        break;
    case Change::None:
        break;
    }
    if (result.unavailable)
        result.retryAfterMs = msUntilRetry();
}
