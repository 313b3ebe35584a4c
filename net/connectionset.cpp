#include "connectionset.h"
#include "listeners.h"
#include "proxyprotocol.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <sys/socket.h>
#include <unistd.h>

// ---- Reply -------------------------------------------------------------------

ConnectionSet::Reply::~Reply()
{
    release();
}

void ConnectionSet::Reply::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool ConnectionSet::Reply::canAnswer() const
{
    return m_fd >= 0 || (m_socket && m_socket->state() == QAbstractSocket::ConnectedState);
}

void ConnectionSet::Reply::hold()
{
    if (!m_sent && m_fd < 0 && m_socket)
        m_fd = ::dup(int(m_socket->socketDescriptor()));
}

void ConnectionSet::Reply::send(const QByteArray &answer)
{
    finish(answer, -1);
}

void ConnectionSet::Reply::sendThenDrain(const QByteArray &answer, int timeoutMs)
{
    finish(answer, timeoutMs);
}

void ConnectionSet::Reply::finish(const QByteArray &answer, int lingerMs)
{
    m_sent = true;
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState) {
        release();
        if (m_set)
            m_set->linger(m_socket, answer, lingerMs);
        else
            m_socket->abort(); // the endpoint is gone
    } else if (m_fd >= 0) {
        // A few hundred bytes at most: they fit the socket buffer of a connection
        // that sent nothing since its request. Qt read its input to the end, so
        // closing leaves nothing unread.
        [[maybe_unused]] const ssize_t written
            = ::send(m_fd, answer.constData(), size_t(answer.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        release();
    }
}

// ---- The set -----------------------------------------------------------------

ConnectionSet::ConnectionSet(Reader &reader, const Http::Limits &limits, QObject *parent)
    : QObject(parent), m_reader(reader), m_limits(limits),
      m_cap(qMax(1, qMin(limits.maxConnections, Net::descriptorLimit() - Net::DescriptorReserve)))
{
    m_sweep.onDue(this, &ConnectionSet::sweep);
}

ConnectionSet::~ConnectionSet()
{
    for (const Connection &connection : qAsConst(m_connections)) {
        if (connection.heldFd >= 0)
            ::close(connection.heldFd);
    }
}

void ConnectionSet::watch(QTcpServer *listener)
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

void ConnectionSet::listenOn(QTcpServer *listener)
{
    watch(listener);
    connect(listener, &QTcpServer::newConnection, this, [this, listener] {
        while (QTcpSocket *socket = accept(listener))
            connect(socket, &QIODevice::readyRead, this, [this, socket] { read(socket); });
    });
}

void ConnectionSet::expectProxyHeaders(const QTcpServer *listener, const Net::AddressBlocks &trusted)
{
    m_proxies.insert(listener, trusted);
}

QTcpSocket *ConnectionSet::accept(QTcpServer *listener)
{
    QTcpSocket *socket = listener->nextPendingConnection();
    if (!socket)
        return nullptr; // called more often than connections arrived
    ++m_counters.accepted;
    connect(socket, &QAbstractSocket::disconnected, this, [this, socket] {
        forget(socket); // counted until its descriptor is gone, not until its object is
        socket->deleteLater();
    });
    connect(socket, &QAbstractSocket::readChannelFinished, this,
        [this, socket] { tell(socket, Arrival::Ended); });

    // One byte over the limit is enough to know a request line is too long;
    // Qt stops reading from the connection once the buffer is full.
    socket->setReadBufferSize(m_limits.maxRequestBytes + 1);
    Connection &connection = m_connections[socket];
    connection.origin.client = Net::clientAddress(*socket);
    connection.origin.listener
        = listener->objectName().isEmpty() ? QStringLiteral("http") : listener->objectName();
    connection.origin.since.start();
    const auto trusted = m_proxies.constFind(listener);
    if (trusted != m_proxies.cend()) {
        connection.proxy = trusted->contains(connection.origin.client) ? Connection::ProxyStep::Header
                                                                       : Connection::ProxyStep::NoHeader;
        // Room for a whole header before the request; others are judged by its first bytes alone.
        if (connection.proxy == Connection::ProxyStep::Header)
            socket->setReadBufferSize(m_limits.maxRequestBytes + 1 + Proxy::MaxHeaderBytes);
    }
    connection.arrival = ++m_lastArrival;
    connection.deadlineMs = m_sweep.now() + m_limits.requestTimeoutMs;
    m_waiting.emplace(connection.arrival, socket);
    m_sweep.arm(connection.deadlineMs);

    if (m_connections.size() > m_cap) {
        shedOldest();
        if (connection.arrival == 0)
            return nullptr; // it was the one that had to go
    }
    return socket;
}

void ConnectionSet::read(QTcpSocket *socket)
{
    if (socket)
        tell(socket, Arrival::Bytes);
}

// Bytes stay in the socket's own buffer until the owner takes the request;
// once it is answered, they are dropped.
void ConnectionSet::tell(QTcpSocket *socket, Arrival arrival)
{
    auto connection = m_connections.find(socket);
    if (connection == m_connections.end())
        return;
    if (connection->lingerKey.second != 0) {
        socket->skip(socket->bytesAvailable());
        connection->lastInputMs = m_sweep.now();
        return;
    }
    if (connection->arrival == 0 || (arrival != Arrival::Ended && !socket->isOpen()))
        return;
    if (connection->proxy != Connection::ProxyStep::None && !readProxyHeader(socket, *connection, arrival))
        return;
    m_reader.read(socket, arrival);
    connection = m_connections.find(socket);
    if (connection == m_connections.end() || connection->arrival == 0)
        return;
    if (arrival == Arrival::Ended)
        take(socket); // nothing more will come, and nothing was judged
    else if (socket->bytesAvailable() > 0 && connection->heldFd < 0)
        connection->heldFd = ::dup(int(socket->socketDescriptor()));
}

bool ConnectionSet::readProxyHeader(QTcpSocket *socket, Connection &connection, Arrival arrival)
{
    const QByteArray head = socket->peek(Proxy::MaxHeaderBytes);
    const bool more = arrival == Arrival::Bytes;
    if (connection.proxy == Connection::ProxyStep::NoHeader) {
        // "PRO" may still become a header, or a request; "PROXY " or the v2
        // signature cannot become a request.
        const bool whole = head.startsWith("PROXY ") || head.size() >= Proxy::V2SignatureBytes;
        const bool maybe = Proxy::startsLikeHeader(head) || QByteArrayLiteral("PROXY ").startsWith(head);
        if (maybe && !whole && more)
            return false;
        if (!maybe || !whole) {
            connection.proxy = Connection::ProxyStep::None;
            return true;
        }
        Net::tellProxyRefused(connection.origin.client.toString(), nullptr);
    } else {
        const Proxy::Parsed parsed = Proxy::parse(head);
        if (parsed.status == Proxy::Status::NeedMore && more)
            return false;
        if (parsed.status == Proxy::Status::Done || head.isEmpty()) {
            socket->skip(parsed.consumed);
            if (parsed.header.kind == Proxy::Header::Kind::Proxy)
                connection.origin.client = Net::unmapped(parsed.header.source);
            connection.proxy = Connection::ProxyStep::None;
            socket->setReadBufferSize(m_limits.maxRequestBytes + 1);
            return socket->bytesAvailable() > 0 || !more;
        }
        Net::tellProxyRefused(connection.origin.client.toString(), &parsed, arrival == Arrival::Ended);
    }
    ++m_counters.proxyRefused;
    take(socket);
    socket->abort();
    return false;
}

std::shared_ptr<ConnectionSet::Reply> ConnectionSet::take(QTcpSocket *socket)
{
    auto reply = std::make_shared<Reply>();
    reply->m_set = this;
    reply->m_socket = socket;
    // Its bytes still reach tell(), which ignores them until the answer, and
    // drops them after it.
    disconnect(socket, &QAbstractSocket::readChannelFinished, this, nullptr);
    const auto connection = m_connections.find(socket);
    if (connection != m_connections.end()) {
        reply->m_origin = connection->origin;
        std::swap(reply->m_fd, connection->heldFd);
        m_waiting.erase(connection->arrival);
        connection->arrival = 0;
    }
    return reply;
}

// The answer, then a lingering close: the sending side is shut once the
// answer is out of Qt's hands (TCP_CORK holds its last segment until then, and
// the shutdown sends it with the end of the stream), and what the client still
// sends is read and dropped until it closes, is silent lingerIdleMs, or
// lingerMs have passed. Closing on unread input would have the system reset
// the connection, and a reset throws away the answer still on its way.
void ConnectionSet::linger(QTcpSocket *socket, const QByteArray &answer, int lingerMs)
{
    const int fd = int(socket->socketDescriptor());
    Net::corkUntilClosed(fd);
    socket->write(answer);
    socket->flush(); // an answer fits the socket's buffer: no turn of the event loop waits for it
    if (socket->state() != QAbstractSocket::ConnectedState)
        return; // Qt closes it
    const auto connection = m_connections.find(socket);
    if (connection == m_connections.end())
        return socket->close();
    // Qt stops reading once its buffer holds a request's worth.
    socket->setReadBufferSize(0);
    socket->skip(socket->bytesAvailable());
    const qint64 now = m_sweep.now();
    connection->lingerStartMs = connection->lastInputMs = now;
    connection->lingerMs = lingerMs < 0 ? m_limits.lingerMs : lingerMs;
    connection->lingerKey
        = {Http::lingerEndMs(now, now, connection->lingerMs, m_limits.lingerIdleMs), ++m_lastArrival};
    m_lingering.emplace(connection->lingerKey, socket);
    m_sweep.arm(connection->lingerKey.first);
    if (socket->bytesToWrite() == 0) {
        ::shutdown(fd, SHUT_WR);
        return;
    }
    connect(socket, &QIODevice::bytesWritten, this, [socket] {
        if (socket->bytesToWrite() == 0)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    });
}

// Every request time-out that has ended, oldest first (arrival order is
// deadline order), and every lingering that has; then the timer waits for the
// next one. One timer for all connections: a timer object each cost more than
// the rest of a connection's set-up.
void ConnectionSet::sweep()
{
    const qint64 now = m_sweep.now();
    while (!m_waiting.empty()) {
        QTcpSocket *oldest = m_waiting.begin()->second;
        if (m_connections.value(oldest).deadlineMs > now)
            break;
        // A request that came whole while the thread was held elsewhere (by
        // a statement, say) may still wait in the system's buffer: the
        // time-out counts only for a request not yet complete.
        oldest->waitForReadyRead(0);
        tell(oldest, Arrival::TimedOut);
        if (!m_waiting.empty() && m_waiting.begin()->second == oldest)
            take(oldest); // closed meanwhile: nothing to judge
    }
    // Input since a lingering connection was filed moves its end, which is
    // worked out here rather than at every input.
    while (!m_lingering.empty() && m_lingering.begin()->first.first <= now) {
        QTcpSocket *socket = m_lingering.begin()->second;
        m_lingering.erase(m_lingering.begin());
        Connection &connection = *m_connections.find(socket);
        const qint64 end = Http::lingerEndMs(
            connection.lingerStartMs, connection.lastInputMs, connection.lingerMs, m_limits.lingerIdleMs);
        if (end > now) {
            connection.lingerKey.first = end;
            m_lingering.emplace(connection.lingerKey, socket);
        } else {
            connection.lingerKey = {};
            socket->abort();
        }
    }
    qint64 next = m_lingering.empty() ? -1 : m_lingering.begin()->first.first;
    if (!m_waiting.empty()) {
        const qint64 deadline = m_connections.value(m_waiting.begin()->second).deadlineMs;
        next = next < 0 ? deadline : qMin(next, deadline);
    }
    if (next >= 0) {
        m_sweep.restart(next);
    }
}

// Makes room: a lingering connection, the one closest to its end, else the
// connection that has waited longest for its request. A lingering one has
// what it sent so far read first, so closing it resets nothing; one whose
// client has closed meanwhile was over anyway, and is not counted as shed.
bool ConnectionSet::shedOldest()
{
    QTcpSocket *oldest = nullptr;
    bool ended = false;
    if (!m_lingering.empty()) {
        oldest = m_lingering.begin()->second;
        m_lingering.erase(m_lingering.begin());
        m_connections[oldest].lingerKey = {};
        char scrap[16 * 1024];
        ssize_t n;
        while ((n = ::recv(int(oldest->socketDescriptor()), scrap, sizeof scrap, MSG_DONTWAIT)) > 0) { }
        ended = n == 0;
    } else if (!m_waiting.empty()) {
        oldest = m_waiting.begin()->second;
        take(oldest);
    } else {
        return false;
    }
    if (!ended)
        ++m_counters.shed;
    oldest->abort(); // its descriptor is free at once
    return true;
}

void ConnectionSet::forget(QTcpSocket *socket)
{
    const auto connection = m_connections.find(socket);
    if (connection == m_connections.end())
        return;
    m_waiting.erase(connection->arrival);
    m_lingering.erase(connection->lingerKey);
    if (connection->heldFd >= 0)
        ::close(connection->heldFd);
    m_connections.erase(connection);
}
