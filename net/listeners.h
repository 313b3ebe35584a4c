#ifndef LISTENERS_H
#define LISTENERS_H

#include <QList>
#include <QString>

class QHostAddress;

namespace Net {

// A listener that cannot accept for lack of resources (no file descriptors
// left, say) is paused by QTcpServer for good; it is resumed after this long,
// and again after every further failure, until accepting works once more.
constexpr int AcceptRetryMs = 500;

// Connections the system may hold for a listener before the agent accepts
// them. QTcpServer asks for 50, and a burst of more clients than that at once
// has the rest wait for a SYN retransmission (a whole second); the system caps
// this at its own somaxconn.
constexpr int ListenBacklog = 1024;

// Ports the listeners can bind; a setting outside is refused, not cut to 16 bits.
constexpr int MaxPort = 65535;
inline bool portInRange(int port) { return port >= 0 && port <= MaxPort; }

// Title of every message box the agent shows.
QString boxTitle();

// The address the status line names: the first one that is not the IPv4
// loopback and has an IPv4 form, else 127.0.0.1.
QString statusAddress(const QList<QHostAddress> &addresses);

} // namespace Net

#endif // LISTENERS_H
