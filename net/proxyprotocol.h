#ifndef PROXYPROTOCOL_H
#define PROXYPROTOCOL_H

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// The PROXY protocol header a load balancer puts before a relayed connection's
// first byte (text version 1, binary version 2), read by one pure function over
// the bytes the caller has buffered. The caller keeps the connection's state:
// it reads, calls parse() on everything received so far, and acts on the three
// outcomes. A listener that expects the header takes it only from trusted
// addresses and never guesses whether one is there.
namespace Proxy {

// ---- Limits ----------------------------------------------------------------
// A version 1 line at most, its CR LF included: "PROXY UNKNOWN" followed by two
// full-length IPv6 addresses and two five-digit ports.
constexpr int V1MaxBytes = 107;
// The fixed part of a version 2 header: signature, version and command,
// family and transport, the length of the rest.
constexpr int V2FixedBytes = 16;
constexpr int V2SignatureBytes = 12;
// The largest length field accepted after it. The addresses take at most 216
// bytes (two AF_UNIX paths); the rest is TLVs, and every type registered for
// them fits many times over. Well under the 65535 the field allows, so a peer
// cannot make a connection buffer 64 KiB before it is judged.
constexpr int V2MaxLength = 2048;
// The most bytes any accepted header takes: what a caller needs to buffer.
constexpr int MaxHeaderBytes = V2FixedBytes + V2MaxLength;

// ---- Reading ---------------------------------------------------------------
struct Header
{
    enum class Kind {
        Proxy,   // relayed: the addresses below are the client's and the one it reached
        Local,   // v2 LOCAL, the balancer's own connection (a health check): use the socket's addresses
        Unknown, // v1 UNKNOWN, v2 UNSPEC or AF_UNIX: use the socket's addresses
    };
    Kind kind = Kind::Unknown;
    QHostAddress source; // Proxy only; IPv4 or IPv6 as the header says
    quint16 sourcePort = 0;
    QHostAddress destination;
    quint16 destinationPort = 0;
    int version = 0; // 1 or 2
};

enum class Status {
    NeedMore, // a valid beginning of a header: read on, and call again with all of it
    Bad,      // not a header, or one that breaks the rules: close the connection
    Done,     // a whole header; the bytes after it are the connection's own
};

struct Parsed
{
    Status status = Status::NeedMore;
    int consumed = 0; // Done: the header's exact length; otherwise 0
    Header header;
    QString why; // Bad: a short fixed reason for the log
};

// Reads the header at the start of bytes. Decides as early as the bytes allow:
// a byte that no header could have at its place is Bad at once, so a peer that
// does not speak the protocol is closed without waiting for more.
//
// Version 1 is taken exactly as written down: single spaces, TCP4 with dotted
// quads without leading zeros, TCP6 with colon-separated hex groups (a trailing
// dotted quad allowed, as inet_ntop writes IPv4-mapped addresses), ports
// without leading zeros, the line ended by CR LF within V1MaxBytes. A lone CR
// or LF is Bad. After UNKNOWN anything up to the CR LF is ignored.
//
// Version 2: the version nibble must be 2 and the command LOCAL or PROXY. LOCAL
// ignores the family and whatever follows it. With PROXY, TCP over IPv4 or IPv6
// gives the addresses (a length too short for them is Bad); UNSPEC and
// AF_UNIX streams fall back to Unknown, as a receiver that does not take them
// must; UDP is Bad, as a stream cannot carry a datagram's connection and such
// a header means a misconfigured balancer; other family bytes are Bad. TLVs
// after the addresses are skipped, but must fill the length exactly. A length
// above V2MaxLength is Bad as soon as it is read.
//
// A second header right after the first is not read: the caller sees it as the
// connection's own first bytes, and the protocol behind (HTTP) refuses it.
Parsed parse(const QByteArray &bytes);

// Whether bytes begin like a header of either version: "PROXY " or the v2
// signature, or are a non-empty beginning of the signature. For refusing a
// header from a peer not trusted to send one; fewer than six bytes that begin
// "PROXY " may still become one, so ask again when more arrive.
bool startsLikeHeader(const QByteArray &bytes);

} // namespace Proxy

#endif // PROXYPROTOCOL_H
