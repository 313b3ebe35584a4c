#ifndef CHECKGATE_H
#define CHECKGATE_H

#include "addressblocks.h"
#include "connectionset.h"
#include "httprequest.h"
#include "throttle.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>

// How every listener has a credential check run: through the throttle of its
// user name, then that of its client's address, by the checker; and what
// each answer was, for the audit. The check port and the sign-in listener
// share one gate, so a guess counts the same on either.
class CheckGate : public QObject
{
    Q_OBJECT

public:
    // What runs the credential check: calls done with the verdict for a user
    // name and a password, now or later.
    class Checker
    {
    public:
        using Answer = std::function<void(const Http::Verdict &verdict)>;
        virtual ~Checker() = default;
        virtual void check(const QString &userName, const QString &password, Answer done) = 0;
    };

    // What each answer of the check was, for the audit: one per request
    // answered, after the answer.
    struct Decision
    {
        enum class Verdict { Exist, NotFound, Unavailable, Refused };
        // Refused: by the throttle, or the request itself (malformed, too long).
        enum class Source { Database, Cache, Stale, Throttle, Request };
        const ConnectionSet::Origin &origin;
        QString user; // as the check used it; empty for a request that named none
        Verdict verdict;
        Source source;
        QString userId; // Exist: the identifier found
    };
    using DecisionHandler = std::function<void(const Decision &decision)>;

    // The verdict, or refused: a throttle had too many of the name's or the
    // address's checks waiting, and the check never ran (answer not found).
    // A listener that cannot give a found answer (an identifier its answer
    // cannot carry) makes it not found, with the failure, here: the audit,
    // the failure line and the throttles then hear what the client heard.
    using Done = std::function<void(Http::Verdict &verdict, bool refused)>;

    CheckGate(Checker &checker, const Throttle::Limits &names, QObject *parent = nullptr);

    // Runs the check for origin's client, now or later; done hears how it
    // went, and the decision handler hears it after done.
    void run(
        const QString &userName, const QString &password, const ConnectionSet::Origin &origin, Done done);
    // A request the check did not run: told to the decision handler.
    void refused(
        const ConnectionSet::Origin &origin, Decision::Source why, const QString &userName = QString());

    // Hears every answer's decision from now on (none: nobody).
    void setDecisionHandler(DecisionHandler handler) { m_decided = std::move(handler); }
    // The per-address throttle: counted per Net::clientKey(), never for an
    // address in exempt. With both throttles on a check waits for the longer.
    void setClientThrottle(const Throttle::Limits &limits, const Net::AddressBlocks &exempt);

    CheckThrottle &throttle() { return m_throttle; }
    const CheckThrottle &throttle() const { return m_throttle; }
    CheckThrottle &clientThrottle() { return m_clientThrottle; }
    const CheckThrottle &clientThrottle() const { return m_clientThrottle; }

private:
    void checkNow(const QString &userName, const QString &password, const ConnectionSet::Origin &origin,
        Throttle::Turn nameTurn, const QString &clientKey, Throttle::Turn clientTurn, const Done &done);
    void refuse(const ConnectionSet::Origin &origin, const QString &userName, const Done &done);
    // run(), with what the check has waited counted from waited's start: a check sent back through both
    // throttles is not given its address's delay twice.
    void throttleThen(const QString &userName, const QString &password, const ConnectionSet::Origin &origin,
        const Done &done, QElapsedTimer waited);
    void decide(const ConnectionSet::Origin &origin, const QString &userName, const Http::Verdict &verdict);

    Checker &m_checker;
    CheckThrottle m_throttle;
    CheckThrottle m_clientThrottle;
    Net::AddressBlocks m_throttleExempt;
    DecisionHandler m_decided;
};

#endif // CHECKGATE_H
