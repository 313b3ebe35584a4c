#ifndef SYSTEMDNOTIFY_H
#define SYSTEMDNOTIFY_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

// Tells the service manager how the agent is doing, through systemd's notify
// protocol (one datagram per message to the socket NOTIFY_SOCKET names):
// READY=1 once it serves, RELOADING=1 and READY=1 around a reload,
// STOPPING=1 at close, a one-line STATUS=, and WATCHDOG=1 from the thread
// that owns this object, so an event loop that stops turning stops the pings
// and gets the agent restarted. Without NOTIFY_SOCKET every call does nothing.
class SystemdNotifier : public QObject
{
    Q_OBJECT

public:
    // Reads NOTIFY_SOCKET and WATCHDOG_USEC; starts the watchdog's pings when
    // the unit asks for them.
    explicit SystemdNotifier(QObject *parent = nullptr);

    bool enabled() const { return m_enabled; }

    void ready(const QString &status);
    void reloading();
    void stopping();
    // Sent only when it differs from the last one sent.
    void status(const QString &status);

    // The STATUS= line for a text that may hold line feeds: one line, the
    // parts joined by "; ".
    static QByteArray statusLine(const QString &status);
    // Milliseconds between two WATCHDOG=1: half of the watchdog's
    // microseconds, at least 1.
    static int watchdogIntervalMs(quint64 watchdogUsec);

private:
    void send(const QByteArray &message);

    bool m_enabled = false;
    bool m_failureSaid = false;
    QByteArray m_lastStatus;
    QTimer m_watchdog;
};

#endif // SYSTEMDNOTIFY_H
