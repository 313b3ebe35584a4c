#ifndef FAILFAST_H
#define FAILFAST_H

#include "sqlrules.h"
#include "statement.h"

#include <QElapsedTimer>
#include <QString>

// Whether statements go to the database at all. Once one has timed out or
// found the connection gone, the next requests are not sent into the same
// wall: they fail at once, and only one statement per retry interval goes
// through as a probe, until one is answered again.
class FailFastGate
{
public:
    enum class Admission {
        Run,      // the database answers: run the statement
        Probe,    // failing, and the interval is over: run this one as the probe
        FailFast, // failing: do not run it
    };
    enum class Change { None, Started, Ended };
    // What a statement that ran found: rows, an error of the statement
    // itself, or no answer from the database (timed out, connection gone).
    enum class Outcome { Ok, StatementError, Unavailable };

    explicit FailFastGate(int retryIntervalMs = Sql::ReopenIntervalMs) : m_intervalMs(retryIntervalMs) { }
    void setRetryInterval(int ms) { m_intervalMs = ms; }

    Admission admit();
    // Unavailable starts failing fast, with the reason; any answer of the
    // database ends it, but it is reported Ended only with the first that
    // succeeded, so "answers again" is never said of an error. Returns
    // whether failing fast started or ended with it.
    Change report(Outcome outcome, const QString &reason = QString());

    bool failing() const { return m_failing; }
    // The error that started the window.
    const QString &reason() const { return m_reason; }
    // How long until the next probe may run; 0 when not failing.
    int msUntilRetry() const;

    // The result of a statement that was not sent.
    StatementResult refusal(const QString &connectionError) const;
    // Reports a statement's result and records on it what that changed and,
    // when the database could not answer, when it is tried again.
    void settle(StatementResult &result);

private:
    int m_intervalMs;
    bool m_failing = false;
    bool m_recoveryUnsaid = false; // failing started, and no statement has succeeded since
    QElapsedTimer m_lastTry;       // the window's start, then each probe's start and end
    QString m_reason;
};

#endif // FAILFAST_H
