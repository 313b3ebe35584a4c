#include "authrequest.h"

#include <http_parser.h>

namespace Auth {

namespace {

// ---- The head, through http_parser ---------------------------------------------

// What the parser's callbacks gather. A header's name and value may each
// come in several pieces; a name piece after a value piece starts the next.
struct Reading
{
    Head head;
    QByteArray field, value;
    bool inValue = false;
    bool headersDone = false, messageDone = false;

    void endField()
    {
        if (!inValue)
            return;
        const QByteArray name = field.toLower();
        if (name == "authorization")
            head.authorization << value;
        else if (name == "x-forwarded-for")
            head.forwardedFor << value;
        else if (name == "x-real-ip")
            head.realIp << value;
        field.clear();
        value.clear();
        inValue = false;
    }
};

Reading &reading(http_parser *parser)
{
    return *static_cast<Reading *>(parser->data);
}

int onUrl(http_parser *parser, const char *at, size_t length)
{
    reading(parser).head.target.append(at, int(length));
    return 0;
}

int onHeaderField(http_parser *parser, const char *at, size_t length)
{
    Reading &r = reading(parser);
    r.endField();
    r.field.append(at, int(length));
    return 0;
}

int onHeaderValue(http_parser *parser, const char *at, size_t length)
{
    Reading &r = reading(parser);
    r.inValue = true;
    r.value.append(at, int(length));
    return 0;
}

int onHeadersComplete(http_parser *parser)
{
    Reading &r = reading(parser);
    r.endField();
    r.headersDone = true;
    r.head.method = http_method_str(http_method(parser->method));
    r.head.versionMajor = parser->http_major;
    r.head.versionMinor = parser->http_minor;
    r.head.keepAlive = http_should_keep_alive(parser) != 0;
    r.head.hasBody
        = (parser->flags & F_CHUNKED) || ((parser->flags & F_CONTENTLENGTH) && parser->content_length > 0);
    return 0;
}

int onMessageComplete(http_parser *parser)
{
    reading(parser).messageDone = true;
    // Whatever follows is the next request's, read by the next call.
    http_parser_pause(parser, 1);
    return 0;
}

const http_parser_settings &settings()
{
    static const http_parser_settings s = [] {
        http_parser_settings made;
        http_parser_settings_init(&made);
        made.on_url = onUrl;
        made.on_header_field = onHeaderField;
        made.on_header_value = onHeaderValue;
        made.on_headers_complete = onHeadersComplete;
        made.on_message_complete = onMessageComplete;
        return made;
    }();
    return s;
}

// Where the head that starts at from ends (just past its empty line), or -1;
// lines may end in CR LF or LF alone. *scanned: how far no end was found.
int headEnd(const QByteArray &bytes, int from, int *scanned)
{
    for (int at = bytes.indexOf('\n', qMax(from, *scanned)); at >= 0; at = bytes.indexOf('\n', at + 1)) {
        if (at + 1 < bytes.size() && bytes.at(at + 1) == '\n')
            return at + 2;
        if (at + 2 < bytes.size() && bytes.at(at + 1) == '\r' && bytes.at(at + 2) == '\n')
            return at + 3;
        if (at + 2 >= bytes.size()) {
            *scanned = at; // the next bytes may still make this line feed the end
            return -1;
        }
    }
    *scanned = qMax(*scanned, bytes.size());
    return -1;
}

// A header line that begins with a blank continues the one before it
// (obs-fold): refused, since proxies and the agent could read it apart.
bool folded(const QByteArray &bytes, int from, int end)
{
    for (int at = bytes.indexOf('\n', from); at >= 0 && at + 1 < end; at = bytes.indexOf('\n', at + 1)) {
        const char next = bytes.at(at + 1);
        if (next == ' ' || next == '\t')
            return true;
    }
    return false;
}

// ---- Base64 and UTF-8 ------------------------------------------------------------

int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Why token is not base64 as RFC 4648 section 4 writes it with padding, or
// empty: only the alphabet, then at most two '=' making a multiple of four,
// and the bits a '=' leaves unused zero (section 3.5), so each value has one
// spelling.
QString base64Refusal(const QByteArray &token)
{
    int data = token.size();
    while (data > 0 && token.at(data - 1) == '=')
        --data;
    const int padding = token.size() - data;
    if (token.isEmpty() || token.size() % 4 != 0 || padding > 2)
        return QStringLiteral("the base64 is not padded to a multiple of four");
    for (int i = 0; i < data; ++i) {
        if (base64Value(token.at(i)) < 0)
            return QStringLiteral("the base64 holds a character outside its alphabet");
    }
    const int last = data > 0 ? base64Value(token.at(data - 1)) : 0;
    if ((padding == 1 && (last & 0x3)) || (padding == 2 && (last & 0xf)))
        return QStringLiteral("the base64 has bits set that its padding leaves unused");
    return QString();
}

bool isUtf8(const QByteArray &bytes)
{
    // Qt reads each ill-formed sequence (overlong forms, surrogates, code
    // points past U+10FFFF, cut sequences) as U+FFFD, which does not
    // write back as the same bytes.
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArray trimmedBlanks(const QByteArray &value)
{
    int from = 0, to = value.size();
    while (from < to && blank(value.at(from)))
        ++from;
    while (to > from && blank(value.at(to - 1)))
        --to;
    return value.mid(from, to - from);
}

// ---- Answers -------------------------------------------------------------------

QByteArray statusLine(int status)
{
    switch (status) {
    case 200:
        return "HTTP/1.1 200 OK\r\n";
    case 400:
        return "HTTP/1.1 400 Bad Request\r\n";
    case 404:
        return "HTTP/1.1 404 Not Found\r\n";
    case 405:
        return "HTTP/1.1 405 Method Not Allowed\r\n";
    case 413:
        return "HTTP/1.1 413 Payload Too Large\r\n";
    case 431:
        return "HTTP/1.1 431 Request Header Fields Too Large\r\n";
    case 503:
        return "HTTP/1.1 503 Service Unavailable\r\n";
    default:
        return "HTTP/1.1 401 Unauthorized\r\n";
    }
}

} // namespace

Parsed parseHead(const QByteArray &bytes, int maxHeadBytes, int scanned)
{
    Parsed parsed;
    int start = 0;
    while (start < bytes.size() && (bytes.at(start) == '\r' || bytes.at(start) == '\n'))
        ++start;
    parsed.scanned = qMax(scanned, start);
    const int end = headEnd(bytes, start, &parsed.scanned);
    if (end < 0 || end > maxHeadBytes) {
        if (end > maxHeadBytes || bytes.size() > maxHeadBytes)
            parsed.status = Parsed::Status::TooLarge;
        return parsed;
    }
    const int firstLineEnd = bytes.indexOf('\n', start);
    if (folded(bytes, firstLineEnd, end)) {
        parsed.status = Parsed::Status::Bad;
        parsed.why = QStringLiteral("a header folded onto a second line");
        return parsed;
    }

    http_parser parser;
    http_parser_init(&parser, HTTP_REQUEST);
    Reading r;
    parser.data = &r;
    const size_t read
        = http_parser_execute(&parser, &settings(), bytes.constData() + start, size_t(end - start));
    const auto error = http_errno(parser.http_errno);
    if ((error != HPE_OK && error != HPE_PAUSED) || !r.headersDone) {
        parsed.status = Parsed::Status::Bad;
        parsed.why = error != HPE_OK ? QString::fromLatin1(http_errno_description(error))
                                     : QStringLiteral("the head did not end where its empty line is");
        return parsed;
    }
    // A head without a body ends the message at its empty line; one with a
    // body leaves the parser waiting for it, past every byte given.
    if (!r.head.hasBody && (!r.messageDone || int(read) != end - start)) {
        parsed.status = Parsed::Status::Bad;
        parsed.why = QStringLiteral("the request did not end with its head");
        return parsed;
    }
    http_parser_url url;
    http_parser_url_init(&url);
    if (http_parser_parse_url(
            r.head.target.constData(), size_t(r.head.target.size()), parser.method == HTTP_CONNECT, &url)
            == 0
        && (url.field_set & (1 << UF_PATH)))
        r.head.path = r.head.target.mid(url.field_data[UF_PATH].off, url.field_data[UF_PATH].len);
    parsed.status = Parsed::Status::Done;
    parsed.consumed = end;
    parsed.scanned = 0;
    parsed.head = r.head;
    return parsed;
}

Credentials basicCredentials(const QList<QByteArray> &authorization)
{
    Credentials credentials;
    const auto refuse = [&credentials](const QString &why) {
        credentials.refusal = why;
        return credentials;
    };
    if (authorization.isEmpty())
        return refuse(QStringLiteral("no Authorization header"));
    if (authorization.size() > 1)
        return refuse(QStringLiteral("%1 Authorization headers").arg(authorization.size()));
    const QByteArray value = trimmedBlanks(authorization.first());
    if (value.isEmpty())
        return refuse(QStringLiteral("an empty Authorization header"));
    int schemeEnd = 0;
    while (schemeEnd < value.size() && !blank(value.at(schemeEnd)))
        ++schemeEnd;
    if (value.left(schemeEnd).toLower() != "basic")
        return refuse(QStringLiteral("the scheme is not Basic"));
    const QByteArray token = trimmedBlanks(value.mid(schemeEnd));
    if (token.isEmpty())
        return refuse(QStringLiteral("Basic without credentials"));
    if (token.contains(' ') || token.contains('\t'))
        return refuse(QStringLiteral("the credentials are more than one token"));
    const QString bad = base64Refusal(token);
    if (!bad.isEmpty())
        return refuse(bad);
    const QByteArray decoded = QByteArray::fromBase64(token);
    if (decoded.contains('\0'))
        return refuse(QStringLiteral("the credentials hold a NUL byte"));
    if (!isUtf8(decoded))
        return refuse(QStringLiteral("the credentials are not UTF-8"));
    const int colon = decoded.indexOf(':');
    if (colon < 0)
        return refuse(QStringLiteral("the credentials have no colon"));
    if (colon == 0)
        return refuse(QStringLiteral("the user name is empty"));
    credentials.user = QString::fromUtf8(decoded.left(colon));
    credentials.password = QString::fromUtf8(decoded.mid(colon + 1));
    if (credentials.password.isNull())
        credentials.password = QLatin1String(""); // bound as empty text, not NULL
    return credentials;
}

bool headerSafe(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    return text.isEmpty() || (text.front() != QLatin1Char(' ') && text.back() != QLatin1Char(' '));
}

QHostAddress clientAddress(
    const QHostAddress &peer, const Net::AddressBlocks &trusted, const Head &head, QString *why)
{
    const QHostAddress own = Net::unmapped(peer);
    if (!trusted.contains(own))
        return own;
    QByteArray named;
    QString header;
    if (!head.forwardedFor.isEmpty()) {
        named = head.forwardedFor.first().split(',').first();
        header = QStringLiteral("X-Forwarded-For");
    } else if (!head.realIp.isEmpty()) {
        named = head.realIp.first();
        header = QStringLiteral("X-Real-IP");
    } else {
        return own;
    }
    const std::optional<QHostAddress> address = Net::parseAddress(QString::fromLatin1(trimmedBlanks(named)));
    if (address)
        return Net::unmapped(*address);
    if (why)
        *why = QStringLiteral("%1 from %2 names no address").arg(header, own.toString());
    return own;
}

QByteArray challenge(const QString &realm)
{
    QByteArray quoted;
    for (const char c : realm.toUtf8()) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        if (uchar(c) >= 0x20 && c != 0x7f)
            quoted += c;
    }
    return "Basic realm=\"" + quoted + "\", charset=\"UTF-8\"";
}

QByteArray response(const Answer &answer, const QString &realm)
{
    QByteArray out = statusLine(answer.status);
    switch (answer.status) {
    case 200:
        out += "X-Remote-User: " + answer.user.toUtf8() + "\r\nX-Remote-Id: " + answer.userId.toUtf8()
            + "\r\n";
        break;
    case 405:
        out += "Allow: GET, HEAD\r\n";
        break;
    case 503:
        out += "Retry-After: " + QByteArray::number(answer.retryAfterSeconds) + "\r\n";
        break;
    case 400:
    case 404:
    case 413:
    case 431:
        break;
    default:
        out += "WWW-Authenticate: " + challenge(realm) + "\r\n";
    }
    out += "Cache-Control: no-store\r\nContent-Length: 0\r\n";
    if (answer.connection == Answer::Connection::Close)
        out += "Connection: close\r\n";
    else if (answer.connection == Answer::Connection::SayKeepAlive)
        out += "Connection: keep-alive\r\n";
    return out + "\r\n";
}

} // namespace Auth
