#include "httprequest.h"
#include "wiretext.h"

#include <QRegExp>
#include <QUrl>

namespace Http {

namespace {

const QString PasswordKey = QStringLiteral("password=");

// Searched, not anchored; both groups greedy, so the user name runs to the last
// "&password=" that still leaves a match and the password to the last " HTTP".
const QRegExp &requestPattern()
{
    static const QRegExp pattern(QStringLiteral("GET /t/check\\?username=(.*)&password=(.*) HTTP(.*)"),
        Qt::CaseSensitive, QRegExp::RegExp);
    return pattern;
}

// An empty capture comes back null from QRegExp; a null string would be bound
// as SQL NULL instead of the empty text the client sent.
QString nonNull(const QString &text)
{
    return text.isNull() ? QString(QLatin1String("")) : text;
}

} // namespace

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

CheckRequest readCheckRequest(const QByteArray &received)
{
    CheckRequest request;
    const QString text = Net::textUpToNul(received);
    request.line = text.left(text.indexOf(QLatin1String("\r\n"))); // all of it without a CR LF
    request.shownLine = maskPassword(request.line);
    request.hasGet = request.line.contains(QLatin1String("GET"), Qt::CaseSensitive);
    if (!request.hasGet)
        return request;

    QRegExp pattern = requestPattern();
    request.firstIndex = pattern.indexIn(request.line, 0, QRegExp::CaretAtZero);

    const QUrl url(request.line, QUrl::TolerantMode);
    request.rendered = url.toString();
    request.shownRendered = maskPassword(request.rendered);
    request.shownEncoded = maskPassword(url.toEncoded(QUrl::FullyEncoded));
    // url() and toString() are one rendering with the same default options.
    request.shownUrl = request.shownRendered;
    request.shownString = request.shownRendered;
    request.shownDisplay = maskPassword(url.toDisplayString(QUrl::FullyDecoded));
    request.shownPercentDecoded = maskPassword(QUrl::fromPercentEncoding(request.rendered.toUtf8()));

    request.matched = pattern.indexIn(request.rendered, 0, QRegExp::CaretAtZero) >= 0;
    if (request.matched) {
        request.userName = nonNull(pattern.cap(1));
        request.password = nonNull(pattern.cap(2));
    }
    return request;
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
