#ifndef AUTHENDPOINT_H
#define AUTHENDPOINT_H

#include "addressblocks.h"
#include "authrequest.h"
#include "checkgate.h"
#include "connectionset.h"
#include "deadlinetimer.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <map>
#include <memory>
#include <utility>
#include <vector>

class QTcpServer;
class QTcpSocket;

// The sign-in listener: answers a reverse proxy's authentication subrequests
// (GET /auth with HTTP Basic credentials) through the check gate it shares
// with the check port, over persistent HTTP/1.1 connections.
//
// A connection reads requests ahead of their answers (pipelining) and
// answers them in order: a check that answers later holds back the answers
// of the requests after it. Between requests, or with its answers unread, it
// may sit idle for Limits::idleTimeoutMs; a request's head must be whole within
// Limits::headTimeoutMs of its first byte. A malformed request (400), a head
// over the limit (431) or one that announces a body (413: the proxies send
// none, and reading one would only feed a client that has no business
// sending it) ends the connection, lingering as the check port's do. At the
// cap, or out of descriptors, the connection idle longest, or slowest with
// its head, makes room; one that lingers goes before either. One timer ends
// every time-out.
class AuthEndpoint : public QObject
{
    Q_OBJECT

public:
    // Answers by status, and connections closed for a limit, for the metrics.
    struct Counters
    {
        QMap<int, quint64> answers; // by status, every status the listener gives
        quint64 accepted = 0;
        quint64 idleClosed = 0, slowHeads = 0, shed = 0;
    };

    AuthEndpoint(CheckGate &gate, const Auth::Limits &limits = Auth::Limits(), QObject *parent = nullptr);
    ~AuthEndpoint() override;

    // Serves the listener's connections from now on; the audit names the
    // listener by its object name ("auth" when it has none).
    void listenOn(QTcpServer *listener);
    // The Basic challenge's realm, and the proxies whose X-Forwarded-For or
    // X-Real-IP names the client: for the requests read from now on.
    void configure(const QString &realm, const Net::AddressBlocks &trustedProxies);

    const Auth::Limits &limits() const { return m_limits; }
    const Counters &counters() const { return m_counters; }
    // Open connections, lingering ones included; the cap on them.
    int size() const { return m_connections.size(); }
    int cap() const { return m_cap; }

private:
    // Where a connection waits for a time-out: when it ends, and a sequence
    // number. Within one kind of wait the order of the ends is that of the
    // starts, since all of a kind wait equally long.
    using Key = std::pair<qint64, quint64>;
    enum class Wait { None, Head, Idle, Linger };
    // One request's answer, in request order: ready once its check is done.
    struct Slot
    {
        QByteArray bytes;
        bool ready = false;
        bool close = false; // the connection's last answer
    };
    struct Connection
    {
        QByteArray buffer; // bytes read that are not yet a request
        int scanned = 0;   // of buffer: known to hold no end of a head
        // A vector: a deque allocates half a kilobyte even empty, for each of
        // thousands of idle connections; this holds Limits::maxPipelined at most.
        std::vector<std::shared_ptr<Slot>> answers;
        bool fresh = true;                   // no request read yet: its head time-out runs from the accept
        bool closing = false;                // no request is read after the last one queued
        bool pumping = false, again = false; // readRequests under way; an answer came meanwhile
        qint64 requestStartMs = 0, idleSinceMs = 0;
        QElapsedTimer since; // since the current request began, for the audit
        QHostAddress peer;
        QString listener;
        Wait wait = Wait::None;
        Key key;
        qint64 lingerStartMs = 0, lastInputMs = 0;
        // A second descriptor while answers are to come: Qt gives up its own at the client's end of input.
        int heldFd = -1;
    };
    // The answers still to come for a client that ended its input, and the descriptor they go out on.
    struct Unanswered
    {
        int fd;
        std::vector<std::shared_ptr<Slot>> answers;
    };

    void accept(QTcpServer *listener);
    // Reads, checks and writes until the connection can go no further, then
    // files its wait. Safe to call from within itself (a check that answers
    // at once): the outer call carries on.
    void pump(QTcpSocket *socket);
    bool readRequests(QTcpSocket *socket, Connection &connection);
    void answer(QTcpSocket *socket, Connection &connection, const Auth::Head &head,
        const std::shared_ptr<Slot> &slot);
    void check(QTcpSocket *socket, const ConnectionSet::Origin &origin, const Auth::Credentials &credentials,
        const Auth::Answer &reply, const std::shared_ptr<Slot> &slot);
    // The answer and its count; the connection's state is the caller's.
    void settle(Slot &slot, Auth::Answer answer, const QString &why, const QHostAddress &client);
    // Writes the answers that are ready, in order; false when the connection
    // is gone, or lingers after its last answer.
    bool writeReady(QTcpSocket *socket, bool *wrote);
    void linger(QTcpSocket *socket, const QByteArray &answer);
    // Some answer bytes went out: a lingering connection's sending side is
    // shut once all have; requests held back for unread answers go on.
    void written(QTcpSocket *socket);
    // Which time-out the connection waits for now, if any.
    void fileWait(QTcpSocket *socket, Connection &connection);
    void file(QTcpSocket *socket, Connection &connection, Wait wait, qint64 endMs);
    std::map<Key, QTcpSocket *> *waits(Wait wait); // null for Wait::None
    void sweep();
    bool shedOne();
    // Qt has given up the connection: the answers still to come go out on the held descriptor.
    void keepUnanswered(QTcpSocket *socket);
    void answerUnanswered();
    void forget(QTcpSocket *socket);

    CheckGate &m_gate;
    Auth::Limits m_limits;
    int m_cap;
    QString m_realm = Auth::DefaultRealm;
    Net::AddressBlocks m_trusted;
    QHash<QTcpSocket *, Connection> m_connections;
    std::vector<Unanswered> m_unanswered;
    // Those waiting for a time-out, one map a kind.
    std::map<Key, QTcpSocket *> m_heads, m_idle, m_lingering;
    quint64 m_sequence = 0;
    Net::DeadlineTimer m_sweep; // ends the time-outs that are due; its clock is theirs
    Counters m_counters;
};

#endif // AUTHENDPOINT_H
