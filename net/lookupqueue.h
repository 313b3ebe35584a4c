#ifndef LOOKUPQUEUE_H
#define LOOKUPQUEUE_H

#include "lookup.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QTcpServer;
class QTcpSocket;
class QTimer;

// The parameter lookup: one connection at a time, in arrival order, through
// named states. Each lookup shows its input to the operator, has the statement
// run, shows the outcome and replies; connections that arrive meanwhile wait in
// the listener's queue instead of starting lookups of their own inside the
// boxes' event loops.
class LookupQueue : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Idle,            // no lookup under way
        WaitingForInput, // connected; the client's text has not arrived yet
        FirstBox,        // the operator is shown the input
        Statement,       // the statement runs
        SecondBox,       // the operator is shown the result or the error
        Reply,           // the reply goes out
    };

    // What a lookup found: ok with the result ("none" for no row), or the
    // statement that failed and its error.
    struct Outcome
    {
        bool ok = false;
        QString result;
        QString statement;
        QString error;
    };
    // What runs the lookup: calls done with the outcome for an input, now or later.
    class Looker
    {
    public:
        using Done = std::function<void(const Outcome &outcome)>;
        virtual ~Looker() = default;
        virtual void lookup(const QString &input, Done done) = 0;
    };
    // Shows the operator a text and returns once they have seen it: the
    // input, the result, or the failure.
    enum class Notice { Information, Failure };
    class Screen
    {
    public:
        virtual ~Screen() = default;
        virtual void show(Notice notice, const QString &text) = 0;
    };

    LookupQueue(Screen &screen, Looker &looker, const Lookup::Limits &limits = Lookup::Limits(),
        QObject *parent = nullptr);

    // The listener whose connections are served; its queue holds those waiting.
    void attach(QTcpServer *listener);
    // Starts the next pending connection's lookup, unless one is under way.
    void takeNext();

    State state() const { return m_state; }

    // Counted as they happen, for whoever reports on the agent.
    struct Counters
    {
        quint64 replied = 0;    // the statement ran and the client got its value
        quint64 failed = 0;     // the statement failed; the client got "none"
        quint64 clientGone = 0; // the client left before its reply
    };
    const Counters &counters() const { return m_counters; }

private:
    void inputArrived();
    void showInput();
    void showOutcome(const Outcome &outcome);
    void reply(const QString &result);

    Screen &m_screen;
    Looker &m_looker;
    Lookup::Limits m_limits;
    QTcpServer *m_listener = nullptr;
    State m_state = State::Idle;
    // The boxes run event loops in which the socket may free itself, so it is
    // only ever reached through a guarded pointer.
    QPointer<QTcpSocket> m_client;
    QPointer<QTimer> m_inputWait;
    QString m_input;
    bool m_failed = false;
    Counters m_counters;
};

#endif // LOOKUPQUEUE_H
