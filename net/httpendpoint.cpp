#include "httpendpoint.h"
#include "debugswitch.h"
#include "listeners.h"
#include "wiretext.h"

#include <QDebug>
#include <QPointer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

namespace {
// A TLS connection: its bytes must go through its socket, never a second descriptor.
bool isEncrypted(const QTcpSocket *socket)
{
    return qobject_cast<const QSslSocket *>(socket) != nullptr;
}
} // namespace

// One accepted connection while its request line is awaited.
struct HttpEndpoint::Connection
{
    quint64 arrival = 0;   // its key in m_waiting; 0 once the request has been judged
    qint64 deadlineMs = 0; // on m_clock: when the request time-out ends
    // A second descriptor of the connection, taken once part of a request line
    // is in: Qt closes its own at the client's end of input, and this one keeps
    // the connection open for the answer.
    int heldFd = -1;
};

// Where one request's answer goes: the socket while Qt still holds the
// connection, else the held descriptor.
struct HttpEndpoint::Reply
{
    QPointer<QTcpSocket> socket;
    int fd = -1;
    bool sent = false;

    ~Reply() { release(); }
    void release()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    // Keeps the connection open for this answer even if the client ends its
    // sending side while the check runs.
    void hold()
    {
        if (!sent && fd < 0 && socket && !isEncrypted(socket))
            fd = ::dup(int(socket->socketDescriptor()));
    }
    void send(const QByteArray &answer)
    {
        sent = true;
        if (socket && socket->state() == QAbstractSocket::ConnectedState) {
            release();
            socket->write(answer);
            socket->close(); // sends what was written, then shuts the connection
        } else if (fd >= 0) {
            // A few hundred bytes at most: they fit the socket buffer of a connection
            // that sent nothing since its request.
            [[maybe_unused]] const ssize_t written
                = ::send(fd, answer.constData(), size_t(answer.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
            release();
        }
    }
};

namespace {

// Closing a connection while its input is still unread makes the system reset
// it, and the reset throws away the answer on its way out. So after refusing
// an over-long request the rest of it is read and dropped, the sending side is
// shut once the answer is out, and the connection ends when the client closes
// it, or at the latest after the request time-out.
void answerThenDrain(QTcpSocket *socket, const QByteArray &answer, int timeoutMs)
{
    if (isEncrypted(socket)) { // TLS ends its own way
        socket->write(answer);
        socket->disconnectFromHost();
        QTimer::singleShot(timeoutMs, socket, &QAbstractSocket::abort);
        return;
    }
    socket->setReadBufferSize(0);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() == 0)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    });
    QTimer::singleShot(timeoutMs, socket, &QAbstractSocket::abort);
    socket->write(answer);
    socket->readAll();
}

} // namespace

HttpEndpoint::HttpEndpoint(Checker &checker, const Http::Limits &limits, const Throttle::Limits &throttle,
    bool answerUnavailable, QObject *parent)
    : QObject(parent), m_checker(checker), m_limits(limits), m_answerUnavailable(answerUnavailable),
      m_throttle(throttle),
      m_cap(qMax(1, qMin(limits.maxConnections, Net::descriptorLimit() - Net::DescriptorReserve)))
{
    m_clock.start();
    m_sweep.setSingleShot(true);
    connect(&m_sweep, &QTimer::timeout, this, &HttpEndpoint::sweep);
}

HttpEndpoint::~HttpEndpoint()
{
    for (const Connection &connection : qAsConst(m_connections)) {
        if (connection.heldFd >= 0)
            ::close(connection.heldFd);
    }
}

void HttpEndpoint::attach(QTcpServer *listener)
{
    // The cap keeps descriptors in reserve, so accepting does not run out of
    // them: Qt reports only the first accept error of a listener (later ones
    // read as its first "try again"), and spins on the rest. When that first
    // error comes, QTcpServer pauses the listener and never resumes it by
    // itself. Out of descriptors, accept() fails even when no client waits (it
    // looks for a free descriptor first): then accepting simply goes on, and
    // the next client to arrive makes room. A client that waits makes room at
    // once; with nothing to close, accepting is tried again a little later.
    connect(listener, &QTcpServer::acceptError, this, [this, listener] {
        if (!Net::connectionPending(listener) || shedOldest())
            listener->resumeAccepting();
        else
            QTimer::singleShot(Net::AcceptRetryMs, listener, &QTcpServer::resumeAccepting);
    });
}

QTcpSocket *HttpEndpoint::accept(QTcpServer *listener)
{
    QTcpSocket *socket = listener->nextPendingConnection();
    if (!socket)
        return nullptr; // the slot ran more often than connections arrived
    ++m_counters.accepted;
    connect(socket, &QAbstractSocket::disconnected, this, [this, socket] {
        forget(socket); // counted until its descriptor is gone, not until its object is
        socket->deleteLater();
    });
    connect(socket, &QAbstractSocket::readChannelFinished, this, [this, socket] { endOfInput(socket); });

    // One byte over the limit is enough to know a request line is too long;
    // Qt stops reading from the connection once the buffer is full.
    socket->setReadBufferSize(m_limits.maxRequestBytes + 1);
    Connection &connection = m_connections[socket];
    connection.arrival = ++m_lastArrival;
    connection.deadlineMs = m_clock.elapsed() + m_limits.requestTimeoutMs;
    m_waiting.emplace(connection.arrival, socket);
    if (!m_sweep.isActive())
        m_sweep.start(m_limits.requestTimeoutMs);

    if (m_connections.size() > m_cap) {
        shedOldest();
        if (connection.arrival == 0)
            return nullptr; // it was the one that had to go
    }
    return socket;
}

void HttpEndpoint::serve(QTcpSocket *socket)
{
    if (socket)
        advance(socket, false);
}

// Bytes stay in the socket's own buffer until the request can be judged.
void HttpEndpoint::advance(QTcpSocket *socket, bool timedOut)
{
    const auto connection = m_connections.find(socket);
    if (connection == m_connections.end() || connection->arrival == 0 || !socket->isOpen())
        return;
    const qint64 buffered = socket->bytesAvailable();
    char head[Http::FormLineBytes];
    const qint64 headBytes = socket->peek(head, sizeof head);
    if (Http::startsFormPost(QByteArray::fromRawData(head, int(qMax<qint64>(headBytes, 0))))) {
        form(socket, timedOut);
        return;
    }
    const Http::Step step
        = Http::nextStep(buffered, socket->canReadLine(), timedOut, m_limits.maxRequestBytes);
    if (step == Http::Step::Wait) {
        if (buffered > 0 && connection->heldFd < 0 && !isEncrypted(socket))
            connection->heldFd = ::dup(int(socket->socketDescriptor()));
        return;
    }
    auto reply = std::make_shared<Reply>();
    reply->socket = socket;
    std::swap(reply->fd, connection->heldFd);
    stopWaiting(socket);
    if (step == Http::Step::Drop) {
        ++m_counters.dropped;
        socket->close();
        return;
    }
    if (Net::debugOn())
        qDebug() << QStringLiteral("[d] slotReadClient");
    if (step == Http::Step::Refuse) {
        ++m_counters.refused;
        answerThenDrain(socket, Http::notFoundResponse(), m_limits.requestTimeoutMs);
        return;
    }
    judge(socket, socket->readAll(), reply);
}

// The client ended its sending side: Qt has closed its descriptor and keeps
// what arrived. A request that was under way is judged on that and answered
// through the descriptor held for it.
void HttpEndpoint::endOfInput(QTcpSocket *socket)
{
    const auto connection = m_connections.find(socket);
    if (connection == m_connections.end() || connection->arrival == 0)
        return;
    auto reply = std::make_shared<Reply>();
    std::swap(reply->fd, connection->heldFd);
    stopWaiting(socket);
    if (reply->fd < 0 || socket->bytesAvailable() == 0)
        return; // nothing arrived, or nothing to answer through
    if (Net::debugOn())
        qDebug() << QStringLiteral("[d] slotReadClient");
    const QByteArray received = socket->readAll();
    const Http::FormPost post = Http::readFormPost(received, true, m_limits.maxFormBytes);
    if (post.state == Http::FormPost::State::NotAForm)
        judge(socket, received, reply);
    else
        answerForm(post, reply);
}

// A form POST is judged once it is whole, not at its first line feed; its
// body may be larger than a request line.
void HttpEndpoint::form(QTcpSocket *socket, bool timedOut)
{
    Connection &connection = m_connections[socket];
    socket->setReadBufferSize(m_limits.maxRequestBytes + m_limits.maxFormBytes + 1);
    const Http::FormPost post
        = Http::readFormPost(socket->peek(socket->bytesAvailable()), timedOut, m_limits.maxFormBytes);
    if (post.state == Http::FormPost::State::NeedMore) {
        if (connection.heldFd < 0 && !isEncrypted(socket))
            connection.heldFd = ::dup(int(socket->socketDescriptor()));
        return;
    }
    auto reply = std::make_shared<Reply>();
    reply->socket = socket;
    std::swap(reply->fd, connection.heldFd);
    stopWaiting(socket);
    if (Net::debugOn())
        qDebug() << QStringLiteral("[d] slotReadClient");
    socket->readAll();
    answerForm(post, reply);
}

void HttpEndpoint::answerForm(const Http::FormPost &post, const std::shared_ptr<Reply> &reply)
{
    if (!post.requestLine.isEmpty() && Net::debugOn())
        qDebug() << "httpQuery=" << post.requestLine;
    if (post.state != Http::FormPost::State::Ready) {
        ++m_counters.notFound;
        reply->send(Http::notFoundResponse());
        return;
    }
    runCheck(post.userName, post.password, reply);
}

// Narrated on the debug output with the password masked; the check runs only
// for a request that matched.
void HttpEndpoint::judge(QTcpSocket *socket, const QByteArray &received, const std::shared_ptr<Reply> &reply)
{
    reply->socket = socket;
    const bool narrate = Net::debugOn();
    const Http::CheckRequest request = Http::readCheckRequest(received, narrate);
    if (!request.hasGet) {
        ++m_counters.notFound;
        reply->send(Http::notFoundResponse());
        return;
    }
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
    if (!request.matched) {
        ++m_counters.notFound;
        reply->send(Http::notFoundResponse());
        return;
    }

    runCheck(request.userName, request.password, reply);
}

// The check proper, the same for a request line and a form: narrated with the
// password masked, through the throttle, answered when it is done.
void HttpEndpoint::runCheck(
    const QString &userName, const QString &password, const std::shared_ptr<Reply> &reply)
{
    if (Net::debugOn())
        qDebug() << userName << Net::MaskedPassword;
    const bool admitted = m_throttle.submit(userName, [=](bool throttled) {
        QElapsedTimer took;
        took.start();
        m_checker.check(userName, password, [=](const Http::Verdict &verdict) {
            count(verdict, double(took.nsecsElapsed()) / 1e9);
            reply->send(Http::verdictResponse(verdict, m_answerUnavailable));
            m_throttle.finished(userName, !verdict.unavailable && verdict.result == Net::NoResult, throttled);
        });
    });
    if (!admitted) {
        ++m_counters.notFound;
        reply->send(Http::notFoundResponse());
        return;
    }
    reply->hold(); // when the check answers later; nothing once it has answered
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

// The request line is in (or never will be): the connection no longer waits.
void HttpEndpoint::stopWaiting(QTcpSocket *socket)
{
    disconnect(socket, &QIODevice::readyRead, nullptr, nullptr);
    disconnect(socket, &QAbstractSocket::readChannelFinished, this, nullptr);
    Connection &connection = m_connections[socket];
    m_waiting.erase(connection.arrival);
    connection.arrival = 0;
}

// Every request time-out that has ended, oldest first (arrival order is
// deadline order); then the timer waits for the next one. One timer for all
// connections: a timer object each cost more than the rest of a connection's set-up.
void HttpEndpoint::sweep()
{
    const qint64 now = m_clock.elapsed();
    while (!m_waiting.empty()) {
        QTcpSocket *oldest = m_waiting.begin()->second;
        const qint64 deadline = m_connections.value(oldest).deadlineMs;
        if (deadline > now) {
            m_sweep.start(int(deadline - now));
            return;
        }
        // A request that came whole while the thread was held elsewhere (by
        // a statement, say) may still wait in the system's buffer: the
        // time-out counts only for a request not yet complete.
        oldest->waitForReadyRead(0);
        advance(oldest, true);
        if (!m_waiting.empty() && m_waiting.begin()->second == oldest)
            stopWaiting(oldest); // closed meanwhile: nothing to judge
    }
}

// Closes the connection that has waited longest for its request line.
bool HttpEndpoint::shedOldest()
{
    if (m_waiting.empty())
        return false;
    QTcpSocket *oldest = m_waiting.begin()->second;
    stopWaiting(oldest);
    ++m_counters.shed;
    oldest->abort(); // its descriptor is free at once
    return true;
}

void HttpEndpoint::forget(QTcpSocket *socket)
{
    const auto connection = m_connections.find(socket);
    if (connection == m_connections.end())
        return;
    m_waiting.erase(connection->arrival);
    if (connection->heldFd >= 0)
        ::close(connection->heldFd);
    m_connections.erase(connection);
}
