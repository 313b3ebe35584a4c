#ifndef TLSLISTENER_H
#define TLSLISTENER_H

#include "addressblocks.h"
#include "deadlinetimer.h"
#include "httprequest.h"

#include <QElapsedTimer>
#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <map>
#include <optional>
#include <utility>

struct ssl_ctx_st;
class TlsTunnel;

namespace Tls {

// ---- Limits ----------------------------------------------------------------
// Sessions kept for clients that resume by session id rather than by ticket;
// past this the oldest go.
constexpr long SessionCacheSize = 4096;
// How long a session, cached or in a ticket, can be resumed.
constexpr long SessionLifetimeS = 2 * 60 * 60;
// The ticket keys live in memory only and are new with every context: at
// load, at every reload, and after this long.
constexpr int TicketKeyLifetimeMs = 24 * 60 * 60 * 1000;
// Plain text a connection holds in each direction before it stops reading:
// one TLS record.
constexpr int ChunkBytes = 16 * 1024;
// Descriptors a connection holds once its handshake is done: the client's,
// the socket pair the agent reads the plain text from, and the copy of the
// agent's end a check in progress holds.
constexpr int DescriptorsPerConnection = 4;

} // namespace Tls

// A listener whose connections speak TLS 1.2 or 1.3 (ECDHE only) through
// OpenSSL, with a certificate, its chain and a key from PEM files. One
// context serves every connection, so sessions resume: by ticket, whose keys
// never leave memory, or from the server's session cache.
//
// A connection's handshake runs on the event loop over its non-blocking
// descriptor. Once it is done the listener offers a QTcpSocket whose bytes are
// the plain text: one end of a socket pair, the other end relayed to and from
// the TLS connection. So whatever serves the plain port serves this one
// unchanged, down to the second descriptor and the shut sending side.
class TlsListener : public QTcpServer
{
    Q_OBJECT

public:
    struct Counters
    {
        quint64 handshakes = 0; // completed, resumed ones included
        quint64 resumed = 0;
        quint64 failed = 0;       // the client broke off, or spoke no acceptable TLS
        quint64 timedOut = 0;     // no handshake within the request time-out
        quint64 shed = 0;         // handshaking or stalled, closed to make room for a newer connection
        quint64 proxyRefused = 0; // closed for a PROXY header: an untrusted one, or a bad one
    };

    // Handshakes get limits.requestTimeoutMs, and a connection lingers after
    // its answer as on the plain port (Http::LingerMs); connections, counted
    // from accept to close, are capped at limits.maxConnections, or fewer
    // where the descriptor limit leaves less room.
    explicit TlsListener(const Http::Limits &limits, QObject *parent = nullptr);
    ~TlsListener() override;

    // Loads the certificate (with any chain after it) and its private key,
    // PEM, into a new context for the connections from now on; open ones keep
    // theirs. On failure *error says which file and why, and the context in
    // use, if any, stays.
    bool loadCredentials(const QString &certificatePath, const QString &keyPath, QString *error);

    // Connections from an address in trusted begin with a PROXY protocol
    // header, before the handshake, whose client is theirs from then on; one
    // from any other address that begins like such a header is closed.
    void expectProxyHeaders(const Net::AddressBlocks &trusted) { m_proxyTrusted = trusted; }

    const Counters &counters() const { return m_counters; }
    // Connections open, handshaking or relaying.
    int connections() const { return m_connections; }
    int cap() const { return m_cap; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    friend class TlsTunnel;
    void useContext(ssl_ctx_st *context);
    void renewContext();
    // A tunnel whose handshake must end by the request time-out, or whose
    // client must read by then.
    void startDeadline(TlsTunnel *tunnel);
    void stopDeadline(TlsTunnel *tunnel);
    // A tunnel that answered, and drops what the client still sends.
    void startLinger(TlsTunnel *tunnel);
    void sweep();
    bool shedOldest();
    void offer(QTcpSocket *socket);
    void closed(TlsTunnel *tunnel);

    Http::Limits m_limits;
    int m_cap;
    ssl_ctx_st *m_context = nullptr;
    QTimer m_renewal;
    int m_connections = 0;
    std::map<quint64, TlsTunnel *> m_timed;                        // by when their time-out started
    std::map<std::pair<qint64, quint64>, TlsTunnel *> m_lingering; // as the plain connections'
    quint64 m_lastStarted = 0;
    Net::DeadlineTimer m_sweep; // ends the time-outs that are due; its clock is theirs
    Counters m_counters;
    std::optional<Net::AddressBlocks> m_proxyTrusted; // with https/proxy_protocol
};

#endif // TLSLISTENER_H
