#ifndef LISTENERS_H
#define LISTENERS_H

#include <QHostAddress>
#include <QList>
#include <QString>

class QAbstractSocket;
class QNetworkSession;
class QTcpServer;
namespace Proxy {
struct Parsed;
}

// What the two listeners share: how they are started, kept accepting, and
// named on the status line.
namespace Net {

// ---- Limits ----------------------------------------------------------------
// A listener that cannot accept for lack of resources (no file descriptors
// left, say) is paused by QTcpServer for good; it is resumed after this long,
// and again after every further failure, until accepting works once more.
constexpr int AcceptRetryMs = 500;

// Connections the system may hold for a listener before the agent accepts
// them. QTcpServer asks for 50, and a burst of more clients than that at once
// has the rest wait for a SYN retransmission (a whole second); the system caps
// this at its own somaxconn.
constexpr int ListenBacklog = 1024;

// Descriptors the check connections leave to the rest of the agent: the
// database connections, the lookup's clients, the log file, and a second
// descriptor for requests still arriving.
constexpr int DescriptorReserve = 64;
// The soft limit on open descriptors.
int descriptorLimit();

// Ports the listeners can bind; a setting outside is refused, not cut to 16 bits.
constexpr int MaxPort = 65535;
inline bool portInRange(int port)
{
    return port >= 0 && port <= MaxPort;
}

// ---- Listening ---------------------------------------------------------------
// Listens on the address (empty: every address) with the backlog above; on
// failure *error says why, in the listener's words, or that the address is
// not one.
bool startListener(QTcpServer *listener, int port, QString *error, const QString &address = QString());

// True when a client waits in the listener's queue to be accepted.
bool connectionPending(QTcpServer *listener);

// "[-] the <listener> listener cannot listen on port <port>: <error>"
QString cannotListenLine(const QString &listener, int port, const QString &error);

// Says why a listener closes a connection from peer without an answer for its
// PROXY header. parsed is null for a header from a peer not trusted to send
// one: said only in the debug output, as anyone may send one. Otherwise it is
// the trusted proxy's header, Bad, or not whole by the time-out or by the end
// of the proxy's sending (ended): a balancer of ours misbehaves, an error.
void tellProxyRefused(const QString &peer, const Proxy::Parsed *parsed, bool ended = false);

// Holds what is written to the TCP connection until it is shut or closed, or
// corking is turned off, so an answer and the end of the stream leave in one
// segment instead of two: on loopback each segment costs the sender the
// receiver's processing too.
void cork(int fd, bool on);
inline void corkUntilClosed(int fd)
{
    cork(fd, true);
}

// Resumes a listener whose accept failed for lack of resources, AcceptRetryMs
// later, as often as it takes: QTcpServer never resumes it by itself.
void keepAccepting(QTcpServer *listener);

// ---- Clients ------------------------------------------------------------------
// The dynamic property a connection handed over by another listener (the TLS
// one's plain side, say) carries its client's address in, as text.
inline const char ClientAddressProperty[] = "tovr_merk_client";
// The address a connection's client has: the one a listener set on it, else
// its peer; an IPv4 address mapped into IPv6 as the IPv4 address it is.
QHostAddress clientAddress(const QAbstractSocket &socket);

// ---- Status line -------------------------------------------------------------
// The address the status line names: the first one that is not the IPv4
// loopback and has an IPv4 form, else 127.0.0.1.
QString statusAddress(const QList<QHostAddress> &addresses);

// ---- Network session ---------------------------------------------------------
// The identifier of the network configuration remembered in Qt's own per-user
// store (empty when there is none).
QString rememberedConfiguration();
// Remembers the configuration the session opened with; no session, nothing.
void rememberSessionConfiguration(QNetworkSession *session);

} // namespace Net

#endif // LISTENERS_H
