#include "verifier.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QThread>

#include <crypt.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// How much less the verifying threads weigh with the scheduler than the
// dialog's thread (nice), so a request that needs no database is answered
// at once while every core verifies.
constexpr int ThreadNice = 5;

void lowerThisThread()
{
    thread_local bool lowered = false;
    if (!lowered)
        ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), ThreadNice);
    lowered = true;
}

// The model for a dummy before any stored value was seen: bcrypt at the cost
// most tables use, of a password nobody has.
QByteArray fallbackDummy()
{
    static const QByteArray dummy = [] {
        char setting[CRYPT_GENSALT_OUTPUT_SIZE];
        crypt_data data {};
        if (!crypt_gensalt_rn("$2b$", 10, nullptr, 0, setting, int(sizeof setting)))
            return QByteArray();
        const QByteArray secret = QByteArray::number(QRandomGenerator::system()->generate64(), 16);
        const char *hashed = crypt_rn(secret.constData(), setting, &data, int(sizeof data));
        return hashed && hashed[0] != '*' ? QByteArray(hashed) : QByteArray();
    }();
    return dummy;
}
} // namespace

Verifier::Verifier(bool allowWeak, const Limits &limits, QObject *parent)
    : QObject(parent), m_allowWeak(allowWeak)
{
    m_pool.setMaxThreadCount(limits.threads > 0 ? limits.threads : QThread::idealThreadCount());
    m_pool.setExpiryTimeout(-1); // the threads stay, ready
    m_maxInFlight = m_pool.maxThreadCount() + qMax(0, limits.maxWaiting);
}

Verifier::~Verifier()
{
    m_pool.clear();
    m_pool.waitForDone(); // at most one verification per thread, each bounded by the limits
}

bool Verifier::submit(
    const QByteArray &password, const QList<QByteArray> &stored, Done done, const QByteArray &userName)
{
    if (m_inFlight >= m_maxInFlight)
        return false;
    ++m_inFlight;
    const bool dummy = stored.isEmpty();
    const QByteArray model = m_lastSeen;
    const bool allowWeak = m_allowWeak;
    // The destructor waits for every running job, so this outlives the job; an
    // outcome posted to a verifier destroyed since is dropped with it.
    m_pool.start([this, password, stored, userName, dummy, model, allowWeak, done = std::move(done)] {
        lowerThisThread();
        QElapsedTimer took;
        took.start();
        Outcome outcome;
        QByteArray verified; // a model for later dummies: never a value refused or past the limits
        if (dummy) {
            Passwords::verify(password, model.isEmpty() ? fallbackDummy() : model, allowWeak, userName);
        } else {
            for (int i = 0; i < stored.size(); ++i) {
                outcome.formats << Passwords::formatOf(stored.at(i));
                outcome.prefixes << Passwords::prefixOf(stored.at(i));
                const Passwords::Checked checked
                    = Passwords::check(password, stored.at(i), allowWeak, userName);
                outcome.results << checked.result;
                outcome.reasons << checked.reason;
                if (outcome.results.last() == Passwords::Result::Match)
                    outcome.matchingRow = i;
                if (outcome.results.last() == Passwords::Result::Match
                    || outcome.results.last() == Passwords::Result::Mismatch)
                    verified = stored.at(i);
            }
        }
        const double seconds = double(took.nsecsElapsed()) / 1e9;
        QMetaObject::invokeMethod(
            this, [this, outcome, verified, seconds, done] { finished(outcome, verified, seconds, done); },
            Qt::QueuedConnection);
    });
    return true;
}

bool Verifier::hashBcrypt(const QByteArray &password, int cost, Hashed done)
{
    if (m_inFlight >= m_maxInFlight)
        return false;
    ++m_inFlight;
    m_pool.start([this, password, cost, done = std::move(done)] {
        lowerThisThread();
        const QByteArray hash = Passwords::hashBcrypt(password, cost);
        QMetaObject::invokeMethod(
            this,
            [this, hash, done] {
                --m_inFlight;
                done(hash);
            },
            Qt::QueuedConnection);
    });
    return true;
}

void Verifier::finished(const Outcome &outcome, const QByteArray &model, double seconds, const Done &done)
{
    --m_inFlight;
    if (!model.isEmpty())
        m_lastSeen = model;
    for (int i = 0; i < outcome.formats.size(); ++i)
        ++m_counters.verifications[qMakePair(
            Passwords::name(outcome.formats.at(i)), Passwords::name(outcome.results.at(i)))];
    int bucket = 0;
    while (bucket < SecondsBounds.size() && seconds > SecondsBounds.at(bucket))
        ++bucket;
    ++m_counters.seconds[bucket];
    m_counters.secondsSum += seconds;
    done(outcome);
}
