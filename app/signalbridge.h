#ifndef SIGNALBRIDGE_H
#define SIGNALBRIDGE_H

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal on the GUI thread, so a supervisor
// or Ctrl-C ends the agent the way its Quit button does; and SIGHUP into
// another, which asks for a reload (systemctl reload) and ends nothing.
//
// The handler does only async-signal-safe work: it sets both signals back to
// their default action and writes the signal number into one end of a socket
// pair (a handler that finds a signal already taken re-raises its own instead). The other end is watched by a
// QSocketNotifier, which emits terminationRequested from the event loop. A second signal therefore ends the
// process at once, even when the event loop is stuck (a database call that
// hangs, for example).
//
// One instance per process: the handler has no way to find an object.
class SignalBridge : public QObject
{
    Q_OBJECT

public:
    // Installs the handlers. A signal that arrives from here on is kept until
    // start() and then delivered from the event loop.
    explicit SignalBridge(QObject *parent = nullptr);
    // Puts the default actions back and closes the socket pair.
    ~SignalBridge() override;

    bool isValid() const { return m_valid; }
    // Starts delivering (also a signal that arrived before), from whichever
    // event loop runs: the main one, or one of start-up's nested loops.
    void start();
    // A signal has been delivered.
    bool delivered() const { return m_delivered; }

    // The process's bridge, or null when none was made.
    static SignalBridge *instance();

signals:
    void terminationRequested(int signalNumber);
    void reloadRequested();

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
    bool m_valid = false;
    bool m_delivered = false;
};

#endif // SIGNALBRIDGE_H
