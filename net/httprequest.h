#ifndef HTTPREQUEST_H
#define HTTPREQUEST_H

#include <QByteArray>
#include <QString>

// The HTTP check's request line and answer, as pure functions over bytes, so the
// rules are tested without sockets. HttpEndpoint only buffers, calls these,
// writes and closes.
namespace Http {

// ---- Limits ----------------------------------------------------------------
// A request is judged once its bytes hold a line feed; bytes beyond this many
// without one are not a request line any client sends, so they are answered
// "not found" at once and no more is read.
constexpr int MaxRequestBytes = 64 * 1024;
// How long a connection may take to deliver its first line. After that what has
// arrived is judged; a client that sent nothing is closed.
constexpr int RequestTimeoutMs = 10 * 1000;
// Open check connections at most. At the cap the connection that has waited
// longest without sending a whole request line is closed, so that clients
// that do send one keep getting through.
constexpr int MaxConnections = 10000;
// A form POST's body at most (see readFormPost).
constexpr int MaxFormBytes = 64 * 1024;
// After its answer a connection is shut for sending and whatever the client
// still sends (a body the check does not read, a second request) is read and
// dropped: closing on unread input makes the system reset the connection,
// which throws away the answer on its way and fails a client still sending.
// The connection closes when the client closes it, after LingerIdleMs without
// input, or after LingerMs in all.
constexpr int LingerIdleMs = 2 * 1000;
constexpr int LingerMs = 10 * 1000;

struct Limits
{
    int maxRequestBytes = MaxRequestBytes;
    int requestTimeoutMs = RequestTimeoutMs;
    int maxConnections = MaxConnections;
    int maxFormBytes = MaxFormBytes;
    int lingerIdleMs = LingerIdleMs;
    int lingerMs = LingerMs;
};

// When a connection that began to linger at startMs, and last had input at
// lastInputMs, is closed at the latest; lingerMs bounds it in all.
constexpr qint64 lingerEndMs(qint64 startMs, qint64 lastInputMs, int lingerMs, int lingerIdleMs)
{
    return qMin(startMs + lingerMs, lastInputMs + lingerIdleMs);
}

// ---- Reading --------------------------------------------------------------
// What a connection's buffered bytes call for.
enum class Step {
    Wait,   // no line feed yet, under the limit, time left: read on
    Judge,  // a line feed arrived, or time ran out with bytes: judge what is there
    Refuse, // over the limit without a line feed: the not-found answer, read no more
    Drop,   // time ran out and nothing arrived: close without an answer
};
Step nextStep(qint64 bufferedBytes, bool hasLineFeed, bool timedOut, int maxRequestBytes = MaxRequestBytes);

// ---- Request line ----------------------------------------------------------
// The request pattern, "GET /t/check\\?username=(.*)&password=(.*) HTTP(.*)"
// as QRegExp reads it (rich syntax, case-sensitive, greedy, searched from
// position 0, not anchored): where the match starts (-1 for none) and the
// first two captures. The same result as QRegExp's, by plain string searches.
struct PatternMatch
{
    int index = -1;
    QString userName; // capture 1
    QString password; // capture 2
};
PatternMatch matchRequestPattern(const QString &line);

// Everything one request tells the endpoint. The shown* members are the copies
// printed on the debug output, with the password masked; only userName and
// password carry the real values.
struct CheckRequest
{
    QString line;         // first line as received (text before the first CR LF)
    bool hasGet = false;  // line contains "GET" (case-sensitive); nothing else counts without it
    int firstIndex = -1;  // where the pattern matched in the line as received, -1 for nowhere
    QString rendered;     // the line re-rendered through QUrl (tolerant parse, toString())
    bool matched = false; // the pattern matched the re-rendered line
    QString userName;     // capture 1 of the re-rendered line
    QString password;     // capture 2 of the re-rendered line

    QString shownLine;           // line
    QString shownRendered;       // rendered
    QByteArray shownEncoded;     // QUrl::toEncoded(FullyEncoded)
    QString shownUrl;            // QUrl::url()
    QString shownString;         // QUrl::toString()
    QString shownDisplay;        // QUrl::toDisplayString(FullyDecoded)
    QString shownPercentDecoded; // QUrl::fromPercentEncoding of rendered, as UTF-8
};

// Reads a request from the bytes received so far: UTF-8 up to the first NUL,
// first line split at CR LF, the "GET" test, the pattern searched in the line,
// the QUrl re-rendering and the pattern searched again. Empty captures come back
// as empty (not null) strings, so they bind as empty text rather than NULL.
// Without withShownForms (debug output off), the shown* copies and firstIndex,
// which only the debug output prints, stay empty.
CheckRequest readCheckRequest(const QByteArray &received, bool withShownForms = true);

// The text from the first "password=" up to the last " HTTP" after it (or to the
// end where there is none) replaced by "password=********".
QString maskPassword(const QString &text);
QByteArray maskPassword(const QByteArray &text);

// ---- Credentials in a form body -------------------------------------------
// A check may also come as "POST /t/check HTTP/1.0" (or 1.1) with
// "Content-Type: application/x-www-form-urlencoded", a Content-Length of at
// most Limits::maxFormBytes and the body "username=...&password=...", so the
// credentials stay out of the URL. Anything short of that is answered not
// found, as any other request that is not a check.
// Bytes enough to tell a form POST's first line from any other.
constexpr int FormLineBytes = 21; // "POST /t/check HTTP/1."

struct FormPost
{
    enum class State {
        NotAForm, // the first line is not the form's: the request-line rules apply
        NeedMore, // the form's headers or body are still arriving
        Refused,  // a form that cannot be a check: answered not found
        Ready,    // the whole form is in
    };
    State state = State::NotAForm;
    QString requestLine;
    QString userName; // Ready: decoded; never null
    QString password;
};
// Reads what has arrived of a form POST. endOfInput: nothing more will come,
// so a form still short of its Content-Length is Refused.
FormPost readFormPost(const QByteArray &received, bool endOfInput = false, int maxFormBytes = MaxFormBytes);
// True when the bytes can only be the start of a form POST, so the endpoint
// must not judge them at their first line feed.
bool startsFormPost(const QByteArray &received);
// A form value: "+" is a blank, %XX a byte, the bytes UTF-8.
QString formDecode(const QByteArray &value);

// ---- Answer ----------------------------------------------------------------
// The 61-byte status line and header every answer starts with.
QByteArray responseHeader();
// The whole answer for a credential check result: header, the "exist" body with
// the identifier as a JSON string, or the "notfount" body when the result is
// "none", then one LF. Always UTF-8.
QByteArray checkResponse(const QString &result);
// The answer for anything that is not a matching request.
QByteArray notFoundResponse();
// "HTTP/1.0 503 Service Unavailable", the content type, "Retry-After:" with
// the seconds, then {"rez":"unavailable","e":"db"} and one LF.
QByteArray unavailableResponse(int retryAfterSeconds);

// What the credential check found: the result ("none" for not found), or
// that the database could not answer and when it is worth asking again.
struct Verdict
{
    QString result;
    bool unavailable = false;
    int retryAfterSeconds = 0;
    // Where it came from: the database, or the verdict cache (fresh, or
    // stale while the database could not answer).
    enum class Source { Database, Cache, Stale };
    Source source = Source::Database;
    QString failure = {}; // why the check failed, the database answering or not; empty: it did not
};
// The answer for a verdict: unavailableResponse when it was unavailable and
// such answers are on, else checkResponse of its result.
QByteArray verdictResponse(const Verdict &verdict, bool answerUnavailable);
// text as the contents of a JSON string: ", \ and control characters escaped.
QByteArray jsonEscaped(const QString &text);

} // namespace Http

#endif // HTTPREQUEST_H
