#include "httpendpoint.h"
#include "debugswitch.h"
#include "wiretext.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QTcpSocket>

HttpEndpoint::HttpEndpoint(Checker &checker, const Http::Limits &limits, const Throttle::Limits &throttle,
    bool answerUnavailable, QObject *parent)
    : QObject(parent), m_checker(checker), m_limits(limits), m_answerUnavailable(answerUnavailable),
      m_throttle(throttle), m_clientThrottle(Throttle::Limits()), m_connections(*this, limits)
{ }

void HttpEndpoint::setClientThrottle(const Throttle::Limits &limits, const Net::AddressBlocks &exempt)
{
    m_clientThrottle.setLimits(limits);
    m_throttleExempt = exempt;
}

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

    const Http::Step step
        = Http::nextStep(socket->bytesAvailable(), socket->canReadLine(), timedOut, m_limits.maxRequestBytes);
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
        if (m_decided)
            m_decided({reply->origin(), QString(), Decision::Verdict::Refused, Decision::Source::Request, {}});
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
// password masked, through the throttle of its name and then that of its
// client's address, answered when it is done.
void HttpEndpoint::runCheck(const QString &userName, const QString &password, const Reply &reply)
{
    if (Net::debugOn())
        qDebug() << userName << Net::MaskedPassword;
    const QString clientKey = m_throttleExempt.contains(reply->origin().client)
        ? QString()
        : Net::clientKey(reply->origin().client);
    QElapsedTimer waited;
    waited.start();
    const bool admitted = m_throttle.submit(userName, [=](bool nameThrottled) {
        if (clientKey.isEmpty())
            return checkNow(userName, password, reply, nameThrottled, clientKey, false);
        const bool clientAdmitted = m_clientThrottle.submit(
            clientKey,
            [=](bool clientThrottled) {
                checkNow(userName, password, reply, nameThrottled, clientKey, clientThrottled);
            },
            int(waited.elapsed()));
        if (!clientAdmitted) {
            m_throttle.release(userName, nameThrottled);
            notFound(reply, Decision::Source::Throttle, userName);
        }
    });
    if (!admitted)
        return notFound(reply, Decision::Source::Throttle, userName);
    reply->hold(); // when the check answers later; nothing once it has answered
}

void HttpEndpoint::checkNow(const QString &userName, const QString &password, const Reply &reply,
    bool nameThrottled, const QString &clientKey, bool clientThrottled)
{
    QElapsedTimer took;
    took.start();
    m_checker.check(userName, password, [=](const Http::Verdict &verdict) {
        count(verdict, double(took.nsecsElapsed()) / 1e9);
        reply->send(Http::verdictResponse(verdict, m_answerUnavailable));
        decide(reply, userName, verdict);
        // An answer the database could not give says nothing about the password.
        const auto settle = [&](CheckThrottle &throttle, const QString &key, bool throttled) {
            if (verdict.unavailable)
                throttle.release(key, throttled);
            else
                throttle.finished(key, verdict.result == Net::NoResult, throttled);
        };
        settle(m_throttle, userName, nameThrottled);
        if (!clientKey.isEmpty())
            settle(m_clientThrottle, clientKey, clientThrottled);
    });
}

void HttpEndpoint::decide(const Reply &reply, const QString &userName, const Http::Verdict &verdict)
{
    const ConnectionSet::Origin &origin = reply->origin();
    if (verdict.failed)
        qWarning().noquote() << QStringLiteral("[e] check from %1 on %2 for %3: the statement failed")
                                    .arg(origin.client.toString(), origin.listener, userName);
    if (!m_decided)
        return;
    const Decision::Verdict kind = verdict.unavailable ? Decision::Verdict::Unavailable
        : verdict.result == Net::NoResult              ? Decision::Verdict::NotFound
                                                       : Decision::Verdict::Exist;
    const Decision::Source source = verdict.source == Http::Verdict::Source::Cache ? Decision::Source::Cache
        : verdict.source == Http::Verdict::Source::Stale                         ? Decision::Source::Stale
                                                                                 : Decision::Source::Database;
    m_decided({origin, userName, kind, source, kind == Decision::Verdict::Exist ? verdict.result : QString()});
}

void HttpEndpoint::notFound(const Reply &reply, Decision::Source why, const QString &userName)
{
    ++m_counters.notFound;
    reply->send(Http::notFoundResponse());
    if (m_decided)
        m_decided({reply->origin(), userName, Decision::Verdict::Refused, why, {}});
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
