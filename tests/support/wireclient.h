#ifndef WIRECLIENT_H
#define WIRECLIENT_H

// The one client tests talk to an agent with: a loopback connection that
// records what it receives and when the agent closed it, the HTTP check's
// request, and the lookup's reply read by the lookup client's own decoder.

#include "client/replydecoder.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QVector>

#include <algorithm>

// One loopback connection; sends request once connected, keeps everything
// received, and whether and when the agent ended the connection.
class Client : public QObject
{
public:
    explicit Client(quint16 port, const QByteArray &request = QByteArray(), QObject *parent = nullptr);

    // Waits up to waitMs for the agent to close; true when it did.
    bool waitClosed(int waitMs = 10000);
    // Connected now, or closed by the agent after a connection.
    bool connectedOrClosed() const { return closed || socket.state() == QAbstractSocket::ConnectedState; }

    QTcpSocket socket;
    QByteArray received;
    bool closed = false;
    qint64 closedAfterMs = -1; // from the client's start
    bool refused = false;      // the connection failed before it was made

private:
    QElapsedTimer m_clock;
};

// Sends request on a connection of its own and returns everything the agent
// answered by the time it closed; what came so far after "<no close> " when it
// did not close within waitMs.
QByteArray exchange(quint16 port, const QByteArray &request, int waitMs = 10000);

// The value of one series, name and labels as /metrics on the admin port
// prints them ("tovr_merk_checks_total{verdict=\"found\"}"); empty when absent.
QByteArray metricValue(quint16 adminPort, const QByteArray &series, int waitMs = 10000);

// Sends each request on a connection of its own, at most `parallel` open at a
// time, and returns what each got back by the time the agent closed it, in
// request order; "<no close>" for one still open timeoutMs after its batch began.
QVector<QByteArray> answersTo(quint16 port, const QVector<QByteArray> &requests, int parallel, int timeoutMs);

// How many of the clients (pointers to Client) the agent has closed, and
// whether it has closed them all.
template <class Clients>
int closedCount(const Clients &clients)
{
    return int(std::count_if(clients.cbegin(), clients.cend(), [](const auto &c) { return c->closed; }));
}
template <class Clients>
bool allClosed(const Clients &clients)
{
    return closedCount(clients) == int(clients.size());
}

// A socket of its own connected, or connecting when not blocking, to port on 127.0.0.1: for clients that
// must not share the event loop, or must keep sending while the agent closes. -1 when it could not.
int connectTo(quint16 port, bool blocking);

// A well-formed HTTP check request for user and password, headers included.
QByteArray checkRequest(const QByteArray &user, const QByteArray &password);
// The check's two answers as the wire carries them; the identifier as JSON escapes it.
QByteArray found(const QByteArray &identifierJson);
QByteArray notFound();

// The lookup reply in received as the lookup client's decoder reads it: the
// text of a complete reply, else "<null string>", "<need more: n of m bytes>"
// or "<malformed: why>", so a comparison shows what came.
QString lookupReplyText(const QByteArray &received);

#endif // WIRECLIENT_H
