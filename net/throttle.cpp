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
    if (m_limits.failures > 0)
        return;
    // Taken out first: a check may finish before the next one starts.
    std::vector<Run> waiting;
    for (Name &entry : m_names) {
        for (auto &queued : entry.waiting)
            waiting.push_back(std::move(queued.first));
        entry.waiting.clear();
    }
    for (const Run &run : waiting)
        run(true);
}

bool CheckThrottle::submit(const QString &name, const Run &run, int creditMs)
{
    if (m_limits.failures <= 0) {
        run(false);
        return true;
    }
    Name &entry = touch(name);
    dropExpired(entry);
    const int delay = Throttle::delayMs(int(entry.failures.size()), m_limits);
    if (delay == 0 && !entry.running && entry.waiting.empty()) {
        run(false);
        return true;
    }
    if (int(entry.waiting.size()) >= m_limits.maxWaitingPerName) {
        ++m_counters.refused;
        return false;
    }
    entry.waiting.emplace_back(run, creditMs);
    if (!entry.running)
        runNext(name);
    return true;
}

// The next waiting check of a throttled name, after its delay; one at a time.
void CheckThrottle::runNext(const QString &name)
{
    const auto it = m_names.find(name);
    if (it == m_names.end() || it->waiting.empty())
        return;
    it->running = true;
    dropExpired(*it);
    const int failures = int(it->failures.size());
    if (!it->announced && Throttle::delayMs(failures, m_limits) > 0) {
        it->announced = true;
        ++m_counters.started;
        emit throttlingStarted(name, failures);
    }
    ++m_counters.delayed;
    const int delay = qMax(0, Throttle::delayMs(failures, m_limits) - it->waiting.front().second);
    QTimer::singleShot(delay, this, [this, name] {
        const auto entry = m_names.find(name);
        if (entry == m_names.end() || entry->waiting.empty())
            return;
        const Run run = std::move(entry->waiting.front().first);
        entry->waiting.erase(entry->waiting.begin());
        run(true);
    });
}

void CheckThrottle::finished(const QString &name, bool notFound, bool throttled)
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
        if (m_limits.failures > 0)
            entry.failures.push_back(m_clock.elapsed());
    } else {
        entry.failures.clear();
        entry.announced = false;
    }
    dropExpired(entry);
    release(name, throttled);
}

void CheckThrottle::release(const QString &name, bool throttled)
{
    const auto entry = m_names.find(name);
    if (entry == m_names.end())
        return;
    if (throttled)
        entry->running = false;
    if (!entry->running && !entry->waiting.empty())
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

// The name used longest ago goes, unless checks of it are under way (then the
// next oldest).
void CheckThrottle::forgetOldest()
{
    for (auto it = m_byAge.end(); it != m_byAge.begin();) {
        --it;
        const auto entry = m_names.find(*it);
        if (entry->running || !entry->waiting.empty())
            continue;
        m_names.erase(entry);
        m_byAge.erase(it);
        ++m_counters.forgotten;
        return;
    }
}
