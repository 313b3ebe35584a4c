#ifndef VERIFIER_H
#define VERIFIER_H

#include "passwords.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QStringList>
#include <QThreadPool>
#include <QVector>

#include <functional>

// Verifies passwords on threads of its own, so a slow hash holds up neither
// the dialog nor the other checks. Jobs wait in a bounded queue; each one's
// outcome is heard on the thread that submitted it.
class Verifier : public QObject
{
    Q_OBJECT

public:
    struct Limits
    {
        int threads = 0;      // 0: one per processor core
        int maxWaiting = 256; // jobs queued beyond the running ones
    };
    // Stored values one check may hold a password against; a statement that
    // gives more for one name is not verified at all.
    static constexpr int MaxStoredValues = 16;
    // Seconds one job took, per bucket (upper bounds; the last is +Inf).
    static inline const QVector<double> SecondsBounds {
        0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5};

    struct Outcome
    {
        int matchingRow = -1;             // the last stored value the password matched
        QList<Passwords::Format> formats; // of each stored value
        QList<Passwords::Result> results; // ... and what it gave
        QStringList prefixes;             // ... and its prefix, all a log may say of it
        QStringList reasons;              // ... and why it did not verify, a short fixed text
    };
    using Done = std::function<void(const Outcome &outcome)>;
    using Hashed = std::function<void(const QByteArray &hash)>;

    struct Counters
    {
        QMap<QPair<QString, QString>, quint64> verifications; // (format, result) -> count
        QVector<quint64> seconds = QVector<quint64>(SecondsBounds.size() + 1, 0);
        double secondsSum = 0;
        QMap<QString, quint64> rehashes; // result ("done", "failed", "skipped") -> count
    };

    Verifier(bool allowWeak, const Limits &limits, QObject *parent = nullptr);
    ~Verifier() override;

    // Verifies password against every stored value; with none (an unknown
    // user), spends the time of a verification of the kind and cost seen
    // last, so the answer's timing does not tell names apart. False, and done
    // is never called, when the queue is full. userName: the name checked,
    // which a format salted with it (PostgreSQL's md5) needs.
    bool submit(const QByteArray &password, const QList<QByteArray> &stored, Done done,
        const QByteArray &userName = QByteArray());

    // A fresh bcrypt value of password at cost (Passwords::hashBcrypt), made on
    // these threads, as bcrypt at cost 12 holds one for about a quarter of a
    // second; done hears it, empty when none could be made. It waits in the
    // same queue as the verifications: false, and done is never called, when
    // the queue is full.
    bool hashBcrypt(const QByteArray &password, int cost, Hashed done);
    // How a rehash went, counted beside the verifications.
    void countRehash(const QString &result) { ++m_counters.rehashes[result]; }

    const Counters &counters() const { return m_counters; }
    int threads() const { return m_pool.maxThreadCount(); }

private:
    void finished(const Outcome &outcome, const QByteArray &model, double seconds, const Done &done);

    bool m_allowWeak;
    int m_maxInFlight;
    int m_inFlight = 0;
    QByteArray m_lastSeen; // the last stored value that verified or not, the model for a dummy
    QThreadPool m_pool;
    Counters m_counters;
};

#endif // VERIFIER_H
