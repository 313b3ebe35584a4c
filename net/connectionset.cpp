#include "connectionset.h"
#include "listeners.h"

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
    m_sent = true;
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState) {
        release();
        Net::corkUntilClosed(int(m_socket->socketDescriptor()));
        m_socket->write(answer);
        m_socket->close(); // sends what was written, then shuts the connection
    } else if (m_fd >= 0) {
        // A few hundred bytes at most: they fit the socket buffer of a connection
        // that sent nothing since its request.
        [[maybe_unused]] const ssize_t written
            = ::send(m_fd, answer.constData(), size_t(answer.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        release();
    }
}

// Closing a connection while its input is still unread makes the system reset
// it, and the reset throws away the answer on its way out. So the rest is read
// and dropped, the sending side is shut once the answer is out, and the
// connection ends when the client closes it, or at the latest after timeoutMs.
void ConnectionSet::Reply::sendThenDrain(const QByteArray &answer, int timeoutMs)
{
    m_sent = true;
    release();
    QAbstractSocket *socket = m_socket;
    if (!socket)
        return;
    socket->setReadBufferSize(0);
    QObject::connect(socket, &QIODevice::readyRead, socket, [socket] { socket->readAll(); });
    QObject::connect(socket, &QIODevice::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() == 0)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    });
    QTimer::singleShot(timeoutMs, socket, &QAbstractSocket::abort);
    socket->write(answer);
    socket->readAll();
}

// ---- The set -----------------------------------------------------------------

ConnectionSet::ConnectionSet(Reader &reader, const Http::Limits &limits, QObject *parent)
    : QObject(parent), m_reader(reader), m_limits(limits),
      m_cap(qMax(1, qMin(limits.maxConnections, Net::descriptorLimit() - Net::DescriptorReserve)))
{
    m_clock.start();
    m_sweep.setSingleShot(true);
    connect(&m_sweep, &QTimer::timeout, this, &ConnectionSet::sweep);
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

void ConnectionSet::read(QTcpSocket *socket)
{
    if (socket)
        tell(socket, Arrival::Bytes);
}

// Bytes stay in the socket's own buffer until the owner takes the request.
void ConnectionSet::tell(QTcpSocket *socket, Arrival arrival)
{
    auto connection = m_connections.find(socket);
    if (connection == m_connections.end() || connection->arrival == 0
        || (arrival != Arrival::Ended && !socket->isOpen()))
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

std::shared_ptr<ConnectionSet::Reply> ConnectionSet::take(QTcpSocket *socket)
{
    auto reply = std::make_shared<Reply>();
    reply->m_socket = socket;
    disconnect(socket, &QIODevice::readyRead, nullptr, nullptr);
    disconnect(socket, &QAbstractSocket::readChannelFinished, this, nullptr);
    const auto connection = m_connections.find(socket);
    if (connection != m_connections.end()) {
        std::swap(reply->m_fd, connection->heldFd);
        m_waiting.erase(connection->arrival);
        connection->arrival = 0;
    }
    return reply;
}

// Every request time-out that has ended, oldest first (arrival order is
// deadline order); then the timer waits for the next one. One timer for all
// connections: a timer object each cost more than the rest of a connection's set-up.
void ConnectionSet::sweep()
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
        tell(oldest, Arrival::TimedOut);
        if (!m_waiting.empty() && m_waiting.begin()->second == oldest)
            take(oldest); // closed meanwhile: nothing to judge
    }
}

// Closes the connection that has waited longest for its request.
bool ConnectionSet::shedOldest()
{
    if (m_waiting.empty())
        return false;
    QTcpSocket *oldest = m_waiting.begin()->second;
    take(oldest);
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
    if (connection->heldFd >= 0)
        ::close(connection->heldFd);
    m_connections.erase(connection);
}
