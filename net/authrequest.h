#ifndef AUTHREQUEST_H
#define AUTHREQUEST_H

#include "addressblocks.h"
#include "httprequest.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

// The sign-in listener's wire rules as pure functions over bytes: a reverse
// proxy's authentication subrequest (GET /auth with the browser's
// Authorization header), its HTTP Basic credentials, who the client is, and
// the answers. AuthEndpoint only buffers, calls these, writes and closes.
namespace Auth {

// ---- Limits ----------------------------------------------------------------
// A request's head (request line and headers) at most: a proxy forwards the
// browser's headers, cookies among them. nginx itself takes up to four 8 KB
// lines from a browser, and its subrequest adds the URI again (the shipped
// X-Original-URI, up to one more 8 KB line) and a few headers of its own, so
// a head nginx let through is never refused here (it would answer the
// browser 500). A head over this is answered 431 and the connection closed.
constexpr int MaxHeadBytes = 48 * 1024;
// How long a request's head may take from its first byte: a client that
// trickles bytes is closed, however steadily it sends.
constexpr int HeadTimeoutMs = 10 * 1000;
// How long a kept-alive connection may sit between requests. Longer than the
// proxies keep theirs idle (nginx 60 s, Caddy's and Traefik's Go transports
// 90-120 s), so the proxy closes first and never sends a request on a
// connection the agent is just closing.
constexpr int IdleTimeoutMs = 180 * 1000;
// Open connections at most, as on the check port. At the cap the connection
// idle longest (or slowest with its head) makes room.
constexpr int MaxConnections = Http::MaxConnections;
// Requests of one connection read ahead of their answers (pipelining); past
// this, its bytes wait in the socket until answers are out.
constexpr int MaxPipelined = 16;
// Answer bytes a client may leave unread before its further requests wait.
constexpr int MaxUnsentBytes = 16 * 1024;

struct Limits
{
    int maxHeadBytes = MaxHeadBytes;
    int headTimeoutMs = HeadTimeoutMs;
    int idleTimeoutMs = IdleTimeoutMs;
    int maxConnections = MaxConnections;
    int maxPipelined = MaxPipelined;
    int maxUnsentBytes = MaxUnsentBytes;
    // After a closing answer (see Http::LingerMs: the same reasons)
    int lingerIdleMs = Http::LingerIdleMs;
    int lingerMs = Http::LingerMs;
};

// The realm of the Basic challenge unless auth/realm says otherwise.
inline const QString DefaultRealm = QStringLiteral("TOVR/MERK");
// The path the proxies ask; a query string after it is fine.
inline const QByteArray Path = QByteArrayLiteral("/auth");

// ---- Reading a request's head ------------------------------------------------
// What one request's head says, as far as this listener cares.
struct Head
{
    QByteArray method;
    QByteArray target; // as sent: origin form, or absolute form
    QByteArray path;   // the target's path
    int versionMajor = 1, versionMinor = 1;
    bool keepAlive = true; // HTTP/1.1 without "Connection: close", or HTTP/1.0 with keep-alive
    bool hasBody = false;  // a Content-Length over 0, or a chunked body
    QList<QByteArray> authorization, forwardedFor, realIp; // every such header's value, in order
};

struct Parsed
{
    enum class Status {
        NeedMore, // no end of the head yet, under the limit
        Done,     // a head of consumed bytes (its body, if any, follows)
        Bad,      // not a request: why says what (answer 400 and close)
        TooLarge, // over maxHeadBytes without an end (answer 431 and close)
    };
    Status status = Status::NeedMore;
    int consumed = 0;
    // Bytes at the start known to hold no end of the head: hand it back with
    // more bytes, and the search resumes there.
    int scanned = 0;
    Head head;
    QString why;
};

// Reads the head at the start of bytes (RFC 7230 section 3), empty lines
// before the request line skipped (section 3.5). The request line and the
// header fields are the library http_parser's reading; header folding
// (obs-fold, section 3.2.4) is refused here before it.
Parsed parseHead(const QByteArray &bytes, int maxHeadBytes = MaxHeadBytes, int scanned = 0);

// ---- Credentials ---------------------------------------------------------------
// HTTP Basic (RFC 7617): exactly one Authorization header, the scheme
// "Basic" in any case, one token of base64 (RFC 4648 section 4, padded,
// unused bits zero), decoding to UTF-8 "user:password" split at the first
// colon, with no NUL and a user that is not empty. Anything else comes back
// with refusal saying why, never with the password in it.
struct Credentials
{
    QString user;
    QString password;
    QString refusal; // empty: the credentials read
};
Credentials basicCredentials(const QList<QByteArray> &authorization);

// Whether text can go into a header as it is: no control character (below
// U+0020, or DEL), which would end the header or the answer early, and no
// blank at either end, which the receiver would strip (" admin" read as
// "admin").
bool headerSafe(const QString &text);

// ---- The client ---------------------------------------------------------------
// Who the check is for: the connection's peer (an IPv4-mapped address as the
// IPv4 address it is); or, when the peer is in trusted, the first address of
// X-Forwarded-For, else X-Real-IP. A value there that is not an address
// leaves the peer, and *why says so.
QHostAddress clientAddress(
    const QHostAddress &peer, const Net::AddressBlocks &trusted, const Head &head, QString *why = nullptr);

// ---- Answers -----------------------------------------------------------------
// Every status the listener answers with.
inline const QList<int> Statuses {200, 400, 401, 404, 405, 413, 431, 503};

struct Answer
{
    int status = 401;          // 200, 400, 401, 404, 405, 413, 431 or 503
    QString user, userId;      // 200: X-Remote-User and X-Remote-Id, both headerSafe
    int retryAfterSeconds = 1; // 503
    enum class Connection { KeepAlive, SayKeepAlive, Close };
    // SayKeepAlive: an HTTP/1.0 client that asked to keep the connection.
    Connection connection = Connection::KeepAlive;
};
// The whole answer: status line, the headers its status has, and always
// "Cache-Control: no-store" and "Content-Length: 0"; no body.
QByteArray response(const Answer &answer, const QString &realm = DefaultRealm);
// The 401's challenge value: Basic realm="<realm>", charset="UTF-8", the
// realm's quotes and backslashes escaped and its control characters left out.
QByteArray challenge(const QString &realm);

} // namespace Auth

#endif // AUTHREQUEST_H
