#ifndef HTTPENDPOINT_H
#define HTTPENDPOINT_H

#include "admin.h"
#include "checkgate.h"
#include "connectionset.h"
#include "httprequest.h"
#include "throttle.h"

#include <QObject>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

class QTcpServer;
class QTcpSocket;

// The HTTP credential check: frames each request of its connections (a
// request line, or a form POST, within Http::Limits), narrates it on the
// debug output, has the check run through the throttle, and answers. One
// request per connection; the connections themselves are a ConnectionSet's.
class HttpEndpoint : public QObject, private ConnectionSet::Reader
{
    Q_OBJECT

public:
    using Checker = CheckGate::Checker;
    using Decision = CheckGate::Decision;

    // Counted as they happen, for whoever reports on the agent.
    struct Counters
    {
        quint64 refused = 0; // request lines over the size limit
        quint64 dropped = 0; // silent until the request time-out
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

    // Serves the listener's connections: every listener the same way.
    void listenOn(QTcpServer *listener) { m_connections.listenOn(listener); }
    // The same in two steps, for a caller that wires each connection itself:
    // watch() the listener once; accept() its next pending connection (null
    // when none), and serve() the connection when bytes arrive.
    void watch(QTcpServer *listener) { m_connections.watch(listener); }
    QTcpSocket *accept(QTcpServer *listener) { return m_connections.accept(listener); }
    void serve(QTcpSocket *socket) { m_connections.read(socket); }
    // The listener's connections from trusted begin with a PROXY header (see ConnectionSet).
    void expectProxyHeaders(const QTcpServer *listener, const Net::AddressBlocks &trusted)
    {
        m_connections.expectProxyHeaders(listener, trusted);
    }

    const Http::Limits &limits() const { return m_limits; }
    void setAnswerUnavailable(bool on) { m_answerUnavailable = on; }
    // The throttles, the checker and the decisions, which another listener may share.
    CheckGate &gate() { return m_gate; }
    const CheckGate &gate() const { return m_gate; }
    const Counters &counters() const { return m_counters; }
    const ConnectionSet &connections() const { return m_connections; }
    CheckThrottle &throttle() { return m_gate.throttle(); }
    const CheckThrottle &throttle() const { return m_gate.throttle(); }
    const CheckThrottle &clientThrottle() const { return m_gate.clientThrottle(); }

private:
    using Reply = std::shared_ptr<ConnectionSet::Reply>;

    // The one place a connection's bytes become a request and its answer.
    void read(QTcpSocket *socket, ConnectionSet::Arrival arrival) override;
    void judge(const QByteArray &received, const Reply &reply);
    void answerForm(const Http::FormPost &post, const Reply &reply);
    void runCheck(const QString &userName, const QString &password, const Reply &reply);
    // The not-found answer to a request the check did not run.
    void notFound(const Reply &reply);
    // The narration's first lines: D1, and who asked.
    void narrateArrival(const Reply &reply);
    void count(const Http::Verdict &verdict, double seconds);

    Http::Limits m_limits;
    bool m_answerUnavailable;
    CheckGate m_gate;
    ConnectionSet m_connections;
    Counters m_counters;
};

#endif // HTTPENDPOINT_H
