#ifndef DEADLINETIMER_H
#define DEADLINETIMER_H

#include <QElapsedTimer>
#include <QTimer>
#include <QtGlobal>

namespace Net {

// One single-shot timer for every time-out of a listener's connections, on a
// clock of its own: it fires at the earliest end it was armed for, and the
// owner's sweep ends whatever is due and arms it again. A timer object per
// connection cost more than the rest of a connection's set-up.
class DeadlineTimer
{
public:
    DeadlineTimer()
    {
        m_clock.start();
        m_timer.setSingleShot(true);
    }
    // due() runs on owner when the timer fires.
    template <typename Owner> void onDue(Owner *owner, void (Owner::*due)())
    {
        QObject::connect(&m_timer, &QTimer::timeout, owner, due);
    }
    // Milliseconds on the clock every end is given on.
    qint64 now() const { return m_clock.elapsed(); }
    // Fires by atMs, or earlier when it is already set to.
    void arm(qint64 atMs)
    {
        if (!m_timer.isActive() || atMs < m_wakeAtMs)
            restart(atMs);
    }
    // Fires at atMs, whatever it was set to.
    void restart(qint64 atMs)
    {
        m_wakeAtMs = atMs;
        m_timer.start(int(qMax<qint64>(0, atMs - now())));
    }

private:
    QElapsedTimer m_clock;
    QTimer m_timer;
    qint64 m_wakeAtMs = 0; // on m_clock: when m_timer, if active, fires
};

} // namespace Net

#endif // DEADLINETIMER_H
