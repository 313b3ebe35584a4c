#include "httpendpoint.h"
#include "debugswitch.h"
#include "wiretext.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QTcpSocket>

HttpEndpoint::HttpEndpoint(Checker &checker, const Http::Limits &limits, const Throttle::Limits &throttle,
    bool answerUnavailable, QObject *parent)
    : QObject(parent), m_limits(limits), m_answerUnavailable(answerUnavailable), m_gate(checker, throttle),
      m_connections(*this, limits)
{ }

void HttpEndpoint::narrateArrival(const Reply &reply)
{
    qDebug() << QStringLiteral("[d] slotReadClient");
    qDebug().noquote() << QStringLiteral("[d] client %1 on %2")
                              .arg(reply->origin().client.toString(), reply->origin().listener);
}

// Bytes stay in the socket's own buffer until the request can be judged: a
// form POST once it is whole, anything else at its first line feed.
void HttpEndpoint::read(QTcpSocket *socket, ConnectionSet::Arrival arrival)
{
    const bool debug = Net::debugOn();
    if (arrival == ConnectionSet::Arrival::Ended) {
        // Qt has closed its descriptor and keeps what arrived: a request under
        // way is judged on that and answered through the descriptor held for it.
        const Reply reply = m_connections.take(socket);
        if (!reply->canAnswer() || socket->bytesAvailable() == 0)
            return; // nothing to answer through, or nothing arrived
        if (debug)
            narrateArrival(reply);
        const QByteArray received = socket->readAll();
        const Http::FormPost post = Http::readFormPost(received, true, m_limits.maxFormBytes);
        if (post.state == Http::FormPost::State::NotAForm)
            judge(received, reply);
        else
            answerForm(post, reply);
        return;
    }

    const bool timedOut = arrival == ConnectionSet::Arrival::TimedOut;
    char head[Http::FormLineBytes];
    const qint64 headBytes = socket->peek(head, sizeof head);
    if (Http::startsFormPost(QByteArray::fromRawData(head, int(qMax<qint64>(headBytes, 0))))) {
        // Its body may be larger than a request line.
        socket->setReadBufferSize(m_limits.maxRequestBytes + m_limits.maxFormBytes + 1);
        const Http::FormPost post
            = Http::readFormPost(socket->peek(socket->bytesAvailable()), timedOut, m_limits.maxFormBytes);
        if (post.state == Http::FormPost::State::NeedMore)
            return;
        const Reply reply = m_connections.take(socket);
        if (debug)
            narrateArrival(reply);
        socket->readAll();
        answerForm(post, reply);
        return;
    }

    // After a proxy's header more than a request line's limit may be buffered: a line feed past it does not
    // count.
    const qint64 buffered = socket->bytesAvailable();
    const bool lineFeed = socket->canReadLine()
        && (buffered <= m_limits.maxRequestBytes + 1
            || socket->peek(m_limits.maxRequestBytes + 1).contains('\n'));
    const Http::Step step = Http::nextStep(buffered, lineFeed, timedOut, m_limits.maxRequestBytes);
    if (step == Http::Step::Wait)
        return;
    const Reply reply = m_connections.take(socket);
    if (step == Http::Step::Drop) {
        ++m_counters.dropped;
        socket->close();
        return;
    }
    if (debug)
        narrateArrival(reply);
    if (step == Http::Step::Refuse) {
        ++m_counters.refused;
        reply->sendThenDrain(Http::notFoundResponse(), m_limits.requestTimeoutMs);
        m_gate.refused(reply->origin(), Decision::Source::Request);
        return;
    }
    judge(socket->readAll(), reply);
}

void HttpEndpoint::answerForm(const Http::FormPost &post, const Reply &reply)
{
    if (!post.requestLine.isEmpty() && Net::debugOn())
        qDebug() << "httpQuery=" << post.requestLine;
    if (post.state != Http::FormPost::State::Ready)
        return notFound(reply);
    runCheck(post.userName, post.password, reply);
}

// Narrated on the debug output with the password masked; the check runs only
// for a request that matched.
void HttpEndpoint::judge(const QByteArray &received, const Reply &reply)
{
    const bool narrate = Net::debugOn();
    const Http::CheckRequest request = Http::readCheckRequest(received, narrate);
    if (!request.hasGet)
        return notFound(reply);
    if (narrate) {
        qDebug() << "httpQuery=" << request.shownLine << " index=" << request.firstIndex;
        qDebug() << "[Original String]:" << request.shownRendered;
        qDebug() << "--------------------------------------------------------------------";
        qDebug() << "(QUrl::toEncoded)          :" << request.shownEncoded;
        qDebug() << "(QUrl::url)                :" << request.shownUrl;
        qDebug() << "(QUrl::toString)           :" << request.shownString;
        qDebug() << "(QUrl::toDisplayString)    :" << request.shownDisplay;
        qDebug() << "(QUrl::fromPercentEncoding):" << request.shownPercentDecoded;
    }
    if (!request.matched)
        return notFound(reply);
    runCheck(request.userName, request.password, reply);
}

// The check proper, the same for a request line and a form: narrated with the
// password masked, through the gate, answered when it is done.
void HttpEndpoint::runCheck(const QString &userName, const QString &password, const Reply &reply)
{
    if (Net::debugOn())
        qDebug() << userName << Net::MaskedPassword;
    QElapsedTimer took;
    took.start();
    m_gate.run(userName, password, reply->origin(), [=](const Http::Verdict &verdict, bool refused) {
        if (refused) {
            ++m_counters.notFound;
            return reply->send(Http::notFoundResponse());
        }
        count(verdict, double(took.nsecsElapsed()) / 1e9);
        reply->send(Http::verdictResponse(verdict, m_answerUnavailable));
    });
    reply->hold(); // when the check answers later; nothing once it has answered
}

void HttpEndpoint::notFound(const Reply &reply)
{
    ++m_counters.notFound;
    reply->send(Http::notFoundResponse());
    m_gate.refused(reply->origin(), Decision::Source::Request);
}

void HttpEndpoint::count(const Http::Verdict &verdict, double seconds)
{
    if (verdict.unavailable)
        ++m_counters.unavailable;
    else if (verdict.result == Net::NoResult)
        ++m_counters.notFound;
    else
        ++m_counters.found;
    ++m_counters.latency[Admin::latencyBucket(seconds)];
    m_counters.latencySeconds += seconds;
}
