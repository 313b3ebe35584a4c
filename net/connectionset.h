#ifndef CONNECTIONSET_H
#define CONNECTIONSET_H

#include "addressblocks.h"
#include "deadlinetimer.h"
#include "httprequest.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <map>
#include <memory>
#include <utility>

class QTcpServer;
class QTcpSocket;

// The accepted connections of an endpoint that answers one request each,
// from accept to close: the table and its cap, below the descriptor limit. A
// connection lingers after its answer (Http::LingerMs), reading and dropping
// what the client still sends, and counts until it is closed. At the cap, or
// when an accept fails for want of descriptors, a lingering connection goes
// first (it has its answer), else the one that has waited longest for its
// request. One timer ends every request time-out and every lingering. A
// descriptor of the connection is held once part of a request is in, so the
// answer still goes out when the client ends its sending side. The owner
// frames the requests: it is told whenever bytes arrive, the time-out ends or
// the input ends, and takes the request once it is whole, with the reply its
// answer goes to.
class ConnectionSet : public QObject
{
    Q_OBJECT

public:
    enum class Arrival {
        Bytes,    // more bytes are in the socket's buffer
        TimedOut, // the request time-out ended: judge what is there
        Ended,    // the client ended its sending side: nothing more will come
    };
    // What frames the requests: reads the socket's buffer, and calls take()
    // once the request can be judged; not taking it waits for more.
    class Reader
    {
    public:
        virtual ~Reader() = default;
        virtual void read(QTcpSocket *socket, Arrival arrival) = 0;
    };

    // Who sent a request, and where: for the audit, the narration and the
    // per-address throttle.
    struct Origin
    {
        QHostAddress client; // its address (a proxy's client, where a PROXY header said so)
        QString listener;    // the listener's object name: "http", "https", ...
        QElapsedTimer since; // since the connection was accepted
    };

    // Where one request's answer goes: the socket while Qt still holds the
    // connection, else the descriptor held for it. Whoever holds it may answer
    // later; the connection stays open for the answer until it is let go.
    class Reply
    {
    public:
        ~Reply();
        const Origin &origin() const { return m_origin; }
        // The answer, then the connection lingers (see Http::LingerMs).
        void send(const QByteArray &answer);
        // The same for a request that is still arriving (too long, say),
        // lingering timeoutMs in all.
        void sendThenDrain(const QByteArray &answer, int timeoutMs);
        // Keeps the connection open for a later answer, even if the client
        // ends its sending side meanwhile.
        void hold();
        // Whether an answer can still reach the client.
        bool canAnswer() const;

    private:
        friend class ConnectionSet;
        void release();
        void finish(const QByteArray &answer, int lingerMs);
        QPointer<ConnectionSet> m_set;
        QPointer<QTcpSocket> m_socket;
        Origin m_origin;
        int m_fd = -1;
        bool m_sent = false;
    };

    struct Counters
    {
        quint64 accepted = 0;
        quint64 shed = 0;         // closed to make room, at the cap or out of descriptors
        quint64 proxyRefused = 0; // closed for a PROXY header: an untrusted one, or a bad one
    };

    ConnectionSet(Reader &reader, const Http::Limits &limits, QObject *parent = nullptr);
    ~ConnectionSet() override;

    // Serves the listener's connections from now on: watch(), and every
    // connection accepted and its bytes read.
    void listenOn(QTcpServer *listener);
    // The listener's connections from an address in trusted begin with a
    // PROXY protocol header, whose client is theirs from then on; one from
    // any other address that sends such a header is closed without an
    // answer. A header that is bad, or not whole by the request time-out,
    // closes the connection too.
    void expectProxyHeaders(const QTcpServer *listener, const Net::AddressBlocks &trusted);
    // Makes room when the listener cannot accept for want of descriptors.
    void watch(QTcpServer *listener);
    // Takes the listener's next pending connection into the set; null when
    // none is pending, or when it had to go at once to keep the cap. The
    // caller has its bytes reach read(); listenOn() wires both itself.
    QTcpSocket *accept(QTcpServer *listener);
    // Bytes arrived on socket: a request's, or after its answer, bytes to drop.
    void read(QTcpSocket *socket);
    // The socket's request is whole (or never will be): its time-out ends,
    // and its answer goes to the reply returned.
    std::shared_ptr<Reply> take(QTcpSocket *socket);

    // Open connections, lingering ones included.
    int size() const { return m_connections.size(); }
    // Open connections at most: Http::Limits::maxConnections, or fewer where
    // the descriptor limit leaves less room.
    int cap() const { return m_cap; }
    const Counters &counters() const { return m_counters; }

private:
    // A lingering connection's place: when it ends at the latest, and a
    // sequence number; {0, 0} for none.
    using LingerKey = std::pair<qint64, quint64>;
    struct Connection
    {
        quint64 arrival = 0;   // its key in m_waiting; 0 once its request is taken
        qint64 deadlineMs = 0; // on m_sweep's clock: when the request time-out ends
        int heldFd = -1;       // a second descriptor, once part of a request is in
        LingerKey lingerKey;   // its key in m_lingering, once answered
        qint64 lingerStartMs = 0, lastInputMs = 0;
        int lingerMs = 0;
        Origin origin;
        // What its first bytes owe the PROXY protocol: nothing, a header (a
        // trusted proxy's), or no header (anyone else's).
        enum class ProxyStep { None, Header, NoHeader } proxy = ProxyStep::None;
    };

    void tell(QTcpSocket *socket, Arrival arrival);
    // The PROXY header's part of the connection's first bytes: true when the
    // reader may go on to the request.
    bool readProxyHeader(QTcpSocket *socket, Connection &connection, Arrival arrival);
    void linger(QTcpSocket *socket, const QByteArray &answer, int lingerMs);
    void sweep();
    bool shedOldest();
    void forget(QTcpSocket *socket);

    Reader &m_reader;
    Http::Limits m_limits;
    int m_cap;
    QHash<QTcpSocket *, Connection> m_connections;
    QHash<const QTcpServer *, Net::AddressBlocks> m_proxies; // listeners that take PROXY headers
    std::map<quint64, QTcpSocket *> m_waiting;               // by arrival: those whose request is not taken
    std::map<LingerKey, QTcpSocket *> m_lingering;           // by when they end, unless input came since
    quint64 m_lastArrival = 0;
    Net::DeadlineTimer m_sweep; // ends the time-outs that are due; its clock is theirs
    Counters m_counters;
};

#endif // CONNECTIONSET_H
