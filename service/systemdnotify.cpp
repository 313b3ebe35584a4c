#include "systemdnotify.h"

#include <QDebug>

#include <systemd/sd-daemon.h>

#include <cstring>
#include <ctime>
#include <limits>

SystemdNotifier::SystemdNotifier(QObject *parent) : QObject(parent)
{
    m_enabled = !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET");
    // sd_watchdog_enabled() also checks that WATCHDOG_PID, when set, is ours.
    uint64_t usec = 0;
    if (m_enabled && sd_watchdog_enabled(0, &usec) > 0) {
        connect(&m_watchdog, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
        m_watchdog.start(watchdogIntervalMs(usec));
    }
}

int SystemdNotifier::watchdogIntervalMs(quint64 watchdogUsec)
{
    return int(qBound<quint64>(1, watchdogUsec / 2000, std::numeric_limits<int>::max()));
}

QByteArray SystemdNotifier::statusLine(const QString &status)
{
    QStringList parts = status.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &part : parts)
        part = part.trimmed();
    return "STATUS=" + parts.join(QStringLiteral("; ")).toUtf8();
}

void SystemdNotifier::ready(const QString &status)
{
    m_lastStatus = statusLine(status);
    send("READY=1\n" + m_lastStatus);
}

// systemd takes the reload's start time to tell this reload from an earlier
// one's READY=1.
void SystemdNotifier::reloading()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const qulonglong usec = qulonglong(now.tv_sec) * 1000000 + qulonglong(now.tv_nsec) / 1000;
    send("RELOADING=1\nMONOTONIC_USEC=" + QByteArray::number(usec));
}

void SystemdNotifier::stopping()
{
    m_watchdog.stop();
    send("STOPPING=1");
}

void SystemdNotifier::status(const QString &status)
{
    const QByteArray line = statusLine(status);
    if (line == m_lastStatus)
        return;
    m_lastStatus = line;
    send(line);
}

void SystemdNotifier::send(const QByteArray &message)
{
    if (!m_enabled)
        return;
    const int sent = sd_notify(0, message.constData());
    if (sent > 0 || m_failureSaid)
        return;
    // Said once: a socket that is not there now will not be there for the
    // next message either, and the agent serves all the same.
    m_failureSaid = true;
    qWarning().noquote() << QStringLiteral("[e] systemd: NOTIFY_SOCKET %1 does not take messages: %2")
                                .arg(QString::fromLocal8Bit(qgetenv("NOTIFY_SOCKET")),
                                    QString::fromLocal8Bit(std::strerror(sent < 0 ? -sent : 0)));
}
