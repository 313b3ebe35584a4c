#include "throttle.h"

#include <QTimer>

#include <algorithm>

namespace Throttle {

int delayMs(int recentFailures, const Limits &limits)
{
    if (limits.failures <= 0 || recentFailures < limits.failures)
        return 0;
    const int doublings = recentFailures - limits.failures;
    qint64 delay = limits.firstDelayMs;
    for (int i = 0; i < doublings && delay < limits.maxDelayMs; ++i)
        delay *= 2;
    return int(qMin<qint64>(delay, limits.maxDelayMs));
}

} // namespace Throttle

CheckThrottle::CheckThrottle(const Throttle::Limits &limits, QObject *parent)
    : QObject(parent), m_limits(limits)
{
    m_clock.start();
}

void CheckThrottle::setLimits(const Throttle::Limits &limits)
{
    m_limits = limits;
    if (isOn())
        return;
    // Taken out first: a check may finish before the next one starts.
    std::vector<Run> waiting;
    for (Name &entry : m_names) {
        for (auto &queued : entry.waiting)
            waiting.push_back(std::move(queued.first));
        entry.waiting.clear();
        // A delay still to come runs nothing now; a check that waited and runs
        // keeps the name's turn until its answer.
        if (entry.delay != 0) {
            entry.running = false;
            entry.delay = 0;
        }
    }
    for (const Run &run : waiting)
        run(Throttle::Turn::Free);
}

Throttle::Turn CheckThrottle::turnNow(const QString &name)
{
    if (!isOn())
        return Throttle::Turn::Free;
    Name &entry = touch(name);
    dropExpired(entry);
    if (!entry.waiting.empty() || entry.running
        || int(entry.failures.size()) + entry.unanswered >= m_limits.failures)
        return Throttle::Turn::Refused;
    ++entry.unanswered;
    return Throttle::Turn::AtOnce;
}

void CheckThrottle::submit(const QString &name, const Run &run, int creditMs)
{
    const Throttle::Turn now = turnNow(name);
    if (now != Throttle::Turn::Refused)
        return run(now);
    Name &entry = *m_names.find(name);
    if (Throttle::delayMs(int(entry.failures.size()), m_limits) > 0
        && int(entry.waiting.size()) >= m_limits.maxWaitingPerName) {
        ++m_counters.refused;
        return run(Throttle::Turn::Refused);
    }
    entry.waiting.emplace_back(run, creditMs);
    runNext(name);
}

void CheckThrottle::runNext(const QString &name)
{
    // A check run here may hand its turn straight back (its address holds it
    // up), which comes back here: in a loop, not deeper and deeper, however
    // many wait.
    m_toRun.push_back(name);
    if (m_runningNext)
        return;
    m_runningNext = true;
    for (std::size_t next = 0; next < m_toRun.size(); ++next)
        runNextOf(QString(m_toRun[next])); // a copy: the vector may grow meanwhile
    m_toRun.clear();
    m_runningNext = false;
}

// What may run of a name's waiting checks. Below the threshold: at once, as
// many as could still all fail without reaching it. Past it: the next one
// after its delay, one at a time, and those beyond the bound (held while the
// name was not yet throttled) are refused.
void CheckThrottle::runNextOf(const QString &name)
{
    const auto it = m_names.find(name);
    if (it == m_names.end() || it->waiting.empty())
        return;
    dropExpired(*it);
    const int failures = int(it->failures.size());
    // Taken out before any runs: a check may be answered, and come back here,
    // before the next one starts.
    std::vector<Run> now;
    if (Throttle::delayMs(failures, m_limits) == 0) {
        if (!it->running) {
            const int room = m_limits.failures - failures - it->unanswered;
            const auto end = it->waiting.begin() + qBound(0, room, int(it->waiting.size()));
            for (auto queued = it->waiting.begin(); queued != end; ++queued)
                now.push_back(std::move(queued->first));
            it->unanswered += int(end - it->waiting.begin());
            it->waiting.erase(it->waiting.begin(), end);
        }
        for (const Run &run : now)
            run(Throttle::Turn::AtOnce);
        return;
    }
    for (int beyond = int(it->waiting.size()) - m_limits.maxWaitingPerName; beyond > 0; --beyond) {
        now.push_back(std::move(it->waiting.back().first));
        it->waiting.pop_back();
        ++m_counters.refused;
    }
    if (!it->running && !it->waiting.empty())
        startDelayed(name, *it, failures);
    for (const Run &run : now)
        run(Throttle::Turn::Refused);
}

// The next waiting check of a throttled name, after its delay.
void CheckThrottle::startDelayed(const QString &name, Name &entry, int failures)
{
    entry.running = true;
    const int delay = Throttle::delayMs(failures, m_limits);
    if (!entry.announced) {
        entry.announced = true;
        ++m_counters.started;
        emit throttlingStarted(name, failures);
    }
    ++m_counters.delayed;
    const quint32 id = entry.delay = ++m_lastDelay;
    QTimer::singleShot(qMax(0, delay - entry.waiting.front().second), this, [this, name, id] {
        const auto it = m_names.find(name);
        if (it == m_names.end() || it->delay != id)
            return;
        it->delay = 0;
        if (it->waiting.empty())
            return void(it->running = false);
        const Run run = std::move(it->waiting.front().first);
        it->waiting.erase(it->waiting.begin());
        run(Throttle::Turn::Waited);
    });
}

void CheckThrottle::finished(const QString &name, bool notFound, Throttle::Turn turn)
{
    // A name forgotten while its check ran stays forgotten: taking it back
    // would push out another, and so on down the line. With throttling off
    // (a reload may turn it off) names are not tracked, but one that still
    // has checks waiting lets them run.
    const auto it = m_names.find(name);
    if (it == m_names.end())
        return;
    Name &entry = touch(name);
    if (notFound) {
        if (isOn())
            entry.failures.push_back(m_clock.elapsed());
    } else {
        entry.failures.clear();
        entry.announced = false;
    }
    dropExpired(entry);
    release(name, turn);
}

void CheckThrottle::release(const QString &name, Throttle::Turn turn)
{
    const auto entry = m_names.find(name);
    if (entry == m_names.end())
        return;
    if (turn == Throttle::Turn::Waited)
        entry->running = false;
    else if (turn == Throttle::Turn::AtOnce && entry->unanswered > 0)
        --entry->unanswered;
    runNext(name);
}

CheckThrottle::Name &CheckThrottle::touch(const QString &name)
{
    auto it = m_names.find(name);
    if (it != m_names.end()) {
        m_byAge.splice(m_byAge.begin(), m_byAge, it->age);
        return *it;
    }
    if (m_names.size() >= m_limits.maxNames)
        forgetOldest();
    m_byAge.push_front(name);
    it = m_names.insert(name, Name());
    it->age = m_byAge.begin();
    return *it;
}

void CheckThrottle::dropExpired(Name &entry)
{
    const qint64 oldest = m_clock.elapsed() - m_limits.windowMs;
    const auto expired = std::find_if(
        entry.failures.begin(), entry.failures.end(), [oldest](qint64 at) { return at > oldest; });
    entry.failures.erase(entry.failures.begin(), expired);
}

// The name used longest ago goes, unless checks of it are under way or wait
// (then the next oldest): forgetting them would free a burst of guesses.
void CheckThrottle::forgetOldest()
{
    for (auto it = m_byAge.end(); it != m_byAge.begin();) {
        --it;
        const auto entry = m_names.find(*it);
        if (entry->running || entry->unanswered > 0 || !entry->waiting.empty())
            continue;
        m_names.erase(entry);
        m_byAge.erase(it);
        ++m_counters.forgotten;
        return;
    }
}
