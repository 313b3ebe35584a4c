#ifndef HTTPENDPOINT_H
#define HTTPENDPOINT_H

#include "admin.h"
#include "httprequest.h"
#include "throttle.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <functional>
#include <map>
#include <memory>

class QTcpServer;
class QTcpSocket;

// The HTTP credential check on accepted connections: buffers each request until
// its first line can be judged (within Http::Limits), narrates it on the debug
// output, has the check run, answers and closes. One request per connection.
// Open connections are capped, below the descriptor limit; at the cap, or when
// an accept fails for want of descriptors, the connection that has waited
// longest for its request line is closed.
class HttpEndpoint : public QObject
{
    Q_OBJECT

public:
    // What runs the credential check: calls done with the verdict for a user
    // name and a password, now or later.
    class Checker
    {
    public:
        using Answer = std::function<void(const Http::Verdict &verdict)>;
        virtual ~Checker() = default;
        virtual void check(const QString &userName, const QString &password, Answer done) = 0;
    };

    // Counted as they happen, for whoever reports on the agent.
    struct Counters
    {
        quint64 accepted = 0;
        quint64 refused = 0; // request lines over the size limit
        quint64 dropped = 0; // silent until the request time-out
        quint64 shed = 0;    // closed to make room, at the cap or out of descriptors
        // judged requests, by the answer they got
        quint64 found = 0, notFound = 0, unavailable = 0;
        // checks that ran a statement: from the complete request line to the
        // answer, per bucket of Admin::LatencyBounds
        QVector<quint64> latency = QVector<quint64>(Admin::LatencyBounds.size() + 1, 0);
        double latencySeconds = 0;
    };

    // answerUnavailable: a check the database could not answer gets 503
    // Service Unavailable rather than the not-found answer (http/unavailable).
    explicit HttpEndpoint(Checker &checker, const Http::Limits &limits = Http::Limits(),
        const Throttle::Limits &throttle = Throttle::Limits(), bool answerUnavailable = false,
        QObject *parent = nullptr);
    ~HttpEndpoint() override;

    // The listener whose connections are served: when it cannot accept for
    // want of descriptors, the longest-waiting connection makes room.
    void attach(QTcpServer *listener);
    // Takes the listener's next pending connection and starts its request
    // time-out; null when none is pending. The caller wires its readyRead to serve().
    QTcpSocket *accept(QTcpServer *listener);
    // Bytes arrived on socket: judges the request once it can be, else waits.
    void serve(QTcpSocket *socket);

    const Http::Limits &limits() const { return m_limits; }
    const Counters &counters() const { return m_counters; }
    CheckThrottle &throttle() { return m_throttle; }
    const CheckThrottle &throttle() const { return m_throttle; }
    int openConnections() const { return m_connections.size(); }
    // Open connections at most: Http::Limits::maxConnections, or fewer where
    // the descriptor limit leaves less room.
    int connectionCap() const { return m_cap; }

private:
    struct Connection;
    struct Reply;

    void advance(QTcpSocket *socket, bool timedOut);
    void endOfInput(QTcpSocket *socket);
    void judge(QTcpSocket *socket, const QByteArray &received, const std::shared_ptr<Reply> &reply);
    void form(QTcpSocket *socket, bool timedOut);
    void answerForm(const Http::FormPost &post, const std::shared_ptr<Reply> &reply);
    void runCheck(const QString &userName, const QString &password, const std::shared_ptr<Reply> &reply);
    void stopWaiting(QTcpSocket *socket);
    void sweep();
    void count(const Http::Verdict &verdict, double seconds);
    bool shedOldest();
    void forget(QTcpSocket *socket);

    Checker &m_checker;
    Http::Limits m_limits;
    bool m_answerUnavailable;
    CheckThrottle m_throttle;
    int m_cap;
    QHash<QTcpSocket *, Connection> m_connections;
    std::map<quint64, QTcpSocket *> m_waiting; // by arrival: those still without a request line
    quint64 m_lastArrival = 0;
    QElapsedTimer m_clock; // the request time-outs' clock
    QTimer m_sweep;        // ends the oldest waiting connection's time-out
    Counters m_counters;
};

#endif // HTTPENDPOINT_H
