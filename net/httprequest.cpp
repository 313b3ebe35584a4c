#include "httprequest.h"
#include "wiretext.h"

#include <QUrl>

namespace Http {

namespace {

const QString PasswordKey = QStringLiteral("password=");

// The pattern's three literal parts, in order.
const QString Beginning = QStringLiteral("GET /t/check?username=");
const QString PasswordPart = QStringLiteral("&password=");
const QString Ending = QStringLiteral(" HTTP");

// An empty capture can come back null; a null string would be bound as SQL
// NULL instead of the empty text the client sent.
QString nonNull(const QString &text)
{
    return text.isNull() ? QString(QLatin1String("")) : text;
}

} // namespace

// A greedy (.*) takes as much as still lets the rest match, so the user name
// runs to the last "&password=" that a " HTTP" still follows, and the password
// to the last " HTTP" of the line; "(.*)" after " HTTP" matches whatever is
// left. A match must start at a "GET /t/check?username=", and if the first one
// leaves no match, a later one leaves less room and none either.
PatternMatch matchRequestPattern(const QString &line)
{
    PatternMatch match;
    const int start = line.indexOf(Beginning);
    if (start < 0)
        return match;
    const int userFrom = start + Beginning.size();
    const int firstPassword = line.indexOf(PasswordPart, userFrom);
    const int ending = line.lastIndexOf(Ending);
    if (firstPassword < 0 || ending < firstPassword + PasswordPart.size())
        return match;
    const int password = line.lastIndexOf(PasswordPart, ending - PasswordPart.size());
    const int passwordFrom = password + PasswordPart.size();
    match.index = start;
    match.userName = line.mid(userFrom, password - userFrom);
    match.password = line.mid(passwordFrom, ending - passwordFrom);
    return match;
}

Step nextStep(qint64 bufferedBytes, bool hasLineFeed, bool timedOut, int maxRequestBytes)
{
    if (hasLineFeed)
        return Step::Judge;
    if (bufferedBytes > maxRequestBytes)
        return Step::Refuse;
    if (timedOut)
        return bufferedBytes > 0 ? Step::Judge : Step::Drop;
    return Step::Wait;
}

CheckRequest readCheckRequest(const QByteArray &received, bool withShownForms)
{
    CheckRequest request;
    const QString text = Net::textUpToNul(received);
    request.line = text.left(text.indexOf(QLatin1String("\r\n"))); // all of it without a CR LF
    request.hasGet = request.line.contains(QLatin1String("GET"), Qt::CaseSensitive);
    if (!request.hasGet)
        return request;

    const QUrl url(request.line, QUrl::TolerantMode);
    request.rendered = url.toString();
    if (withShownForms) {
        request.shownLine = maskPassword(request.line);
        request.firstIndex = matchRequestPattern(request.line).index;
        request.shownRendered = maskPassword(request.rendered);
        request.shownEncoded = maskPassword(url.toEncoded(QUrl::FullyEncoded));
        // url() and toString() are one rendering with the same default options.
        request.shownUrl = request.shownRendered;
        request.shownString = request.shownRendered;
        // What toDisplayString(FullyDecoded) prints: Qt drops FullyDecoded for a
        // whole URL, with a warning at every call, and renders PrettyDecoded.
        request.shownDisplay = maskPassword(url.toDisplayString(QUrl::PrettyDecoded));
        request.shownPercentDecoded = maskPassword(QUrl::fromPercentEncoding(request.rendered.toUtf8()));
    }

    const PatternMatch match = matchRequestPattern(request.rendered);
    request.matched = match.index >= 0;
    if (request.matched) {
        request.userName = nonNull(match.userName);
        request.password = nonNull(match.password);
    }
    return request;
}

bool startsFormPost(const QByteArray &received)
{
    static const QByteArray line = QByteArrayLiteral("POST /t/check HTTP/1.");
    const int n = qMin(received.size(), line.size());
    return n > 0 && received.startsWith(line.left(n));
}

QString formDecode(const QByteArray &value)
{
    QByteArray bytes = value;
    bytes.replace('+', ' ');
    const QString text = QString::fromUtf8(QByteArray::fromPercentEncoding(bytes));
    return text.isNull() ? QString(QLatin1String("")) : text;
}

FormPost readFormPost(const QByteArray &received, bool endOfInput, int maxFormBytes)
{
    FormPost form;
    const int lineEnd = received.indexOf('\n');
    if (lineEnd < 0) {
        form.state
            = startsFormPost(received) && !endOfInput ? FormPost::State::NeedMore : FormPost::State::NotAForm;
        return form;
    }
    const QByteArray line = received.left(lineEnd).trimmed();
    if (line != "POST /t/check HTTP/1.0" && line != "POST /t/check HTTP/1.1")
        return form;
    form.requestLine = QString::fromLatin1(line);

    // The headers end at the first empty line (CR LF or LF alone).
    int headersEnd = -1, bodyStart = -1;
    for (int at = lineEnd + 1; at < received.size();) {
        const int next = received.indexOf('\n', at);
        if (next < 0)
            break;
        if (received.mid(at, next - at).trimmed().isEmpty()) {
            headersEnd = at;
            bodyStart = next + 1;
            break;
        }
        at = next + 1;
    }
    if (bodyStart < 0) {
        const bool tooLong = received.size() > MaxRequestBytes;
        form.state = tooLong || endOfInput ? FormPost::State::Refused : FormPost::State::NeedMore;
        return form;
    }

    QByteArray contentType;
    qint64 contentLength = -1;
    for (const QByteArray &header : received.mid(lineEnd + 1, headersEnd - lineEnd - 1).split('\n')) {
        const int colon = header.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray name = header.left(colon).trimmed().toLower();
        const QByteArray value = header.mid(colon + 1).trimmed();
        if (name == "content-type") {
            contentType = value.toLower();
        } else if (name == "content-length") {
            bool number = false;
            const qint64 length = value.toLongLong(&number);
            contentLength = number && length >= 0 ? length : -1;
        }
    }
    const QByteArray mediaType = contentType.split(';').first().trimmed();
    if (mediaType != "application/x-www-form-urlencoded" || contentLength < 0
        || contentLength > maxFormBytes) {
        form.state = FormPost::State::Refused;
        return form;
    }
    if (received.size() - bodyStart < contentLength) {
        form.state = endOfInput ? FormPost::State::Refused : FormPost::State::NeedMore;
        return form;
    }

    bool haveUser = false, havePassword = false;
    for (const QByteArray &pair : received.mid(bodyStart, int(contentLength)).split('&')) {
        const int equals = pair.indexOf('=');
        const QByteArray key = pair.left(equals);
        const QByteArray value = equals < 0 ? QByteArray() : pair.mid(equals + 1);
        if (key == "username" && !haveUser) {
            form.userName = formDecode(value);
            haveUser = true;
        } else if (key == "password" && !havePassword) {
            form.password = formDecode(value);
            havePassword = true;
        }
    }
    form.state = haveUser && havePassword ? FormPost::State::Ready : FormPost::State::Refused;
    return form;
}

QString maskPassword(const QString &text)
{
    const int from = text.indexOf(PasswordKey);
    if (from < 0)
        return text;
    int to = text.lastIndexOf(QLatin1String(" HTTP"));
    if (to < from + PasswordKey.size())
        to = text.size();
    return text.left(from) + PasswordKey + Net::MaskedPassword + text.mid(to);
}

QByteArray maskPassword(const QByteArray &text)
{
    // Only ever given fully encoded URLs, which are ASCII.
    return maskPassword(QString::fromLatin1(text)).toLatin1();
}

QByteArray responseHeader()
{
    return QByteArrayLiteral("HTTP/1.0 200 Ok\r\n"
                             "Content-Type: text/html; charset=\"utf-8\"\r\n"
                             "\r\n");
}

QByteArray notFoundResponse()
{
    return responseHeader() + QByteArrayLiteral("{\"rez\":\"notfount\",\"e\":\"n\"}\n");
}

QByteArray unavailableResponse(int retryAfterSeconds)
{
    return QByteArrayLiteral("HTTP/1.0 503 Service Unavailable\r\n"
                             "Content-Type: text/html; charset=\"utf-8\"\r\n"
                             "Retry-After: ")
        + QByteArray::number(retryAfterSeconds)
        + QByteArrayLiteral("\r\n\r\n{\"rez\":\"unavailable\",\"e\":\"db\"}\n");
}

QByteArray verdictResponse(const Verdict &verdict, bool answerUnavailable)
{
    if (verdict.unavailable && answerUnavailable)
        return unavailableResponse(verdict.retryAfterSeconds);
    return checkResponse(verdict.result);
}

QByteArray checkResponse(const QString &result)
{
    if (result == Net::NoResult)
        return notFoundResponse();
    return responseHeader() + QByteArrayLiteral("{\"rez\":\"exist\",\"userid\":\"") + jsonEscaped(result)
        + QByteArrayLiteral("\"}\n");
}

QByteArray jsonEscaped(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"':
            out += QLatin1String("\\\"");
            break;
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\b':
            out += QLatin1String("\\b");
            break;
        case '\f':
            out += QLatin1String("\\f");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out.toUtf8();
}

} // namespace Http
