#ifndef THROTTLE_H
#define THROTTLE_H

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>

#include <functional>
#include <list>
#include <vector>

// Slows guessing: after a number of not-found answers for one user name within
// a sliding window, every further check of that name waits, a delay that
// doubles per further failure up to a maximum, and that name's checks run one
// at a time, so parallel guesses do not multiply the rate. Below the
// threshold no more of a name's checks run at once than could all fail
// without reaching it; the rest are held until answers come, or a burst sent
// before the first answer would all be free guesses. Other names are not held
// up. A found answer clears the name's count.
namespace Throttle {

// ---- Limits ----------------------------------------------------------------
constexpr int WindowMs = 60 * 1000;
constexpr int FirstDelayMs = 1000;
constexpr int MaxDelayMs = 30 * 1000;
// Names remembered at most; the one used longest ago is forgotten first.
constexpr int MaxNames = 100000;
// Checks of one throttled name waiting at most; each holds a connection open,
// so beyond this one is answered not found at once, without a statement.
// Checks held below the threshold are bounded by the listeners' connection
// caps instead: a legitimate burst is not refused, and when throttling starts
// those beyond this bound are.
constexpr int MaxWaitingPerName = 32;

struct Limits
{
    int failures = 0; // not-found answers within the window before throttling; 0: off
    int windowMs = WindowMs;
    int firstDelayMs = FirstDelayMs;
    int maxDelayMs = MaxDelayMs;
    int maxNames = MaxNames;
    int maxWaitingPerName = MaxWaitingPerName;
};

// The wait before a check of a name with recentFailures not-found answers in
// the window: none below the threshold, then the first delay, doubling per
// further failure, at most the maximum.
int delayMs(int recentFailures, const Limits &limits);

// How a check got its turn, and so what it holds until its answer.
enum class Turn {
    AtOnce,  // ran below the threshold: one of the name's checks not yet answered
    Waited,  // ran after its delay: the name's one running check
    Refused, // never runs: too many of the name's checks wait
    Free,    // holds nothing: throttling is off, or its turn was given back
};

} // namespace Throttle

class CheckThrottle : public QObject
{
    Q_OBJECT

public:
    // Runs one check, or refuses it; the turn goes back to finished().
    using Run = std::function<void(Throttle::Turn turn)>;

    explicit CheckThrottle(const Throttle::Limits &limits, QObject *parent = nullptr);

    // Runs the check for the name now, or later when earlier checks are
    // answered or the name is throttled; refuses it, now or when throttling
    // starts, when too many of the name's checks wait. With throttling off
    // (http/throttle=0) every check runs at once.
    // creditMs: what the check has waited already for another throttle, taken
    // off its delay here, so of two throttles it waits for the longer.
    void submit(const QString &name, const Run &run, int creditMs = 0);
    // The turn a check of the name gets at once (AtOnce, or Free with
    // throttling off), taken; Refused when it would have to wait.
    Throttle::Turn turnNow(const QString &name);
    // A check that ran has its answer: not found counts against the name, found
    // clears its count; the turn it held goes to the next.
    void finished(const QString &name, bool notFound, Throttle::Turn turn);
    // A check gives its turn back without an answer that counts (the database
    // could not give one, or it waits elsewhere): the name's next check may run.
    void release(const QString &name, Throttle::Turn turn);

    struct Counters
    {
        quint64 delayed = 0;   // checks that waited
        quint64 started = 0;   // times a name began to be throttled
        quint64 forgotten = 0; // names dropped to stay within MaxNames
        quint64 refused = 0;   // checks not run: too many of their name's waited
    };
    const Counters &counters() const { return m_counters; }
    int namesTracked() const { return m_names.size(); }
    bool isOn() const { return m_limits.failures > 0; }
    // From the next check on (a reload); what the names recorded stays.
    // Turned off, every check that waits runs now.
    void setLimits(const Throttle::Limits &limits);

signals:
    // Once per name, when its checks begin to wait.
    void throttlingStarted(const QString &name, int failures);

private:
    struct Name
    {
        // Vectors, not deques: a deque allocates its first block even empty,
        // a kilobyte a name, and up to MaxNames names are kept. Both stay short.
        std::vector<qint64> failures;             // when, on m_clock
        std::vector<std::pair<Run, int>> waiting; // each with its credit
        bool running = false;                     // one of its checks runs (while throttled)
        quint32 delay = 0;                        // the pending delay's timer, 0: none
        int unanswered = 0;                       // checks run below the threshold, not yet answered
        bool announced = false;
        std::list<QString>::iterator age; // in m_byAge
    };

    Name &touch(const QString &name);
    void dropExpired(Name &entry);
    void runNext(const QString &name);
    void runNextOf(const QString &name);
    void startDelayed(const QString &name, Name &entry, int failures);
    void forgetOldest();

    Throttle::Limits m_limits;
    QElapsedTimer m_clock;
    QHash<QString, Name> m_names;
    std::list<QString> m_byAge; // most recently used first
    Counters m_counters;
    std::vector<QString> m_toRun; // names whose waiting checks are to be looked at
    bool m_runningNext = false;
    quint32 m_lastDelay = 0;
};

#endif // THROTTLE_H
