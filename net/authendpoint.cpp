#include "authendpoint.h"
#include "debugswitch.h"
#include "listeners.h"
#include "wiretext.h"

#include <QDebug>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <limits>
#include <utility>

#include <sys/socket.h>
#include <unistd.h>

using Answer = Auth::Answer;

AuthEndpoint::AuthEndpoint(CheckGate &gate, const Auth::Limits &limits, QObject *parent)
    : QObject(parent), m_gate(gate), m_limits(limits),
      m_cap(qMax(1, qMin(limits.maxConnections, Net::descriptorLimit() - Net::DescriptorReserve)))
{
    for (const int status : Auth::Statuses)
        m_counters.answers.insert(status, 0);
    m_sweep.onDue(this, &AuthEndpoint::sweep);
}

AuthEndpoint::~AuthEndpoint()
{
    for (const Unanswered &client : m_unanswered)
        ::close(client.fd);
    for (const Connection &connection : qAsConst(m_connections)) {
        if (connection.heldFd >= 0)
            ::close(connection.heldFd);
    }
}

void AuthEndpoint::configure(const QString &realm, const Net::AddressBlocks &trustedProxies)
{
    m_realm = realm;
    m_trusted = trustedProxies;
}

// ---- Connections -----------------------------------------------------------------

void AuthEndpoint::listenOn(QTcpServer *listener)
{
    // As on the check port (see ConnectionSet::watch): out of descriptors, a
    // waiting client makes room at once, else accepting is tried again later.
    connect(listener, &QTcpServer::acceptError, this, [this, listener] {
        if (!Net::connectionPending(listener) || shedOne())
            listener->resumeAccepting();
        else
            QTimer::singleShot(Net::AcceptRetryMs, listener, &QTcpServer::resumeAccepting);
    });
    connect(listener, &QTcpServer::newConnection, this, [this, listener] { accept(listener); });
}

void AuthEndpoint::accept(QTcpServer *listener)
{
    while (QTcpSocket *socket = listener->nextPendingConnection()) {
        ++m_counters.accepted;
        connect(socket, &QAbstractSocket::disconnected, this, [this, socket] {
            keepUnanswered(socket);
            forget(socket);
            socket->deleteLater();
        });
        connect(socket, &QIODevice::readyRead, this, [this, socket] { pump(socket); });
        connect(socket, &QIODevice::bytesWritten, this, [this, socket] { written(socket); });
        // Qt stops reading from the connection once a head's worth waits.
        socket->setReadBufferSize(m_limits.maxHeadBytes + 1);
        Connection &connection = m_connections[socket];
        connection.peer = Net::clientAddress(*socket);
        connection.listener
            = listener->objectName().isEmpty() ? QStringLiteral("auth") : listener->objectName();
        connection.requestStartMs = m_sweep.now();
        connection.since.start();
        file(socket, connection, Wait::Head, connection.requestStartMs + m_limits.headTimeoutMs);
        if (m_connections.size() > m_cap)
            shedOne(); // the new one is the youngest: it stays unless all others are busy
    }
}

void AuthEndpoint::pump(QTcpSocket *socket)
{
    auto connection = m_connections.find(socket);
    if (connection == m_connections.end())
        return;
    if (connection->wait == Wait::Linger) {
        socket->skip(socket->bytesAvailable());
        connection->lastInputMs = m_sweep.now();
        return;
    }
    if (connection->pumping) {
        connection->again = true;
        return;
    }
    connection->pumping = true;
    for (bool more = true; more;) {
        connection->again = false;
        const bool read = readRequests(socket, *connection);
        bool wrote = false;
        if (!writeReady(socket, &wrote))
            return; // closed, or lingering after its last answer
        connection = m_connections.find(socket);
        more = connection->again || read || wrote;
    }
    connection->pumping = false;
    fileWait(socket, *connection);
}

// The buffer holds at most a head's worth before more is taken from the
// socket, whose own buffer holds as much again; readAll empties the socket's,
// which has Qt read from the connection again.
bool AuthEndpoint::readRequests(QTcpSocket *socket, Connection &connection)
{
    bool consumed = false;
    while (!connection.closing && int(connection.answers.size()) < m_limits.maxPipelined
        && socket->bytesToWrite() <= m_limits.maxUnsentBytes) {
        if (connection.buffer.size() <= m_limits.maxHeadBytes && socket->bytesAvailable() > 0) {
            if (connection.buffer.isEmpty() && !connection.fresh) {
                connection.requestStartMs = m_sweep.now();
                connection.since.start();
            }
            connection.buffer += socket->readAll();
        }
        if (connection.buffer.isEmpty())
            break;
        const Auth::Parsed parsed
            = Auth::parseHead(connection.buffer, m_limits.maxHeadBytes, connection.scanned);
        connection.scanned = parsed.scanned;
        if (parsed.status == Auth::Parsed::Status::NeedMore)
            break;
        consumed = true;
        const auto slot = std::make_shared<Slot>();
        connection.answers.push_back(slot);
        if (parsed.status == Auth::Parsed::Status::Done) {
            connection.buffer.remove(0, parsed.consumed);
            connection.fresh = false;
            answer(socket, connection, parsed.head, slot);
            if (!connection.buffer.isEmpty()) { // the next request's first bytes are in
                connection.requestStartMs = m_sweep.now();
                connection.since.start();
            }
        } else {
            const bool tooLarge = parsed.status == Auth::Parsed::Status::TooLarge;
            Answer reply;
            reply.status = tooLarge ? 431 : 400;
            reply.connection = Answer::Connection::Close;
            const ConnectionSet::Origin origin {connection.peer, connection.listener, connection.since};
            settle(*slot, reply,
                tooLarge ? QStringLiteral("a head over %1 bytes").arg(m_limits.maxHeadBytes) : parsed.why,
                origin.client);
            m_gate.refused(origin, CheckGate::Decision::Source::Request);
        }
        if (slot->close) {
            connection.closing = true;
            connection.buffer.clear();
        }
    }
    return consumed;
}

// ---- Requests ----------------------------------------------------------------------

void AuthEndpoint::answer(
    QTcpSocket *socket, Connection &connection, const Auth::Head &head, const std::shared_ptr<Slot> &slot)
{
    Answer reply;
    if (!head.keepAlive)
        reply.connection = Answer::Connection::Close;
    else if (head.versionMajor == 1 && head.versionMinor == 0)
        reply.connection = Answer::Connection::SayKeepAlive;
    QString why;
    const ConnectionSet::Origin origin {
        Auth::clientAddress(connection.peer, m_trusted, head, &why), connection.listener, connection.since};
    if (!why.isEmpty() && Net::debugOn())
        qDebug().noquote() << QStringLiteral("[d] auth: %1; the connection's own address counts").arg(why);
    if (head.hasBody) {
        reply.status = 413;
        reply.connection = Answer::Connection::Close;
        why = QStringLiteral("a request with a body");
    } else if (head.path != Auth::Path) {
        reply.status = 404;
        why = QStringLiteral("not ") + QString::fromLatin1(Auth::Path);
    } else if (head.method != "GET" && head.method != "HEAD") {
        reply.status = 405;
        why = QStringLiteral("the method ") + QString::fromLatin1(head.method);
    } else {
        Auth::Credentials credentials = Auth::basicCredentials(head.authorization);
        if (credentials.refusal.isEmpty() && !Auth::headerSafe(credentials.user))
            credentials.refusal = QStringLiteral(
                "the user name cannot go into a header (a control character, or a blank at an end)");
        if (credentials.refusal.isEmpty()) {
            slot->close = reply.connection == Answer::Connection::Close;
            return check(socket, origin, credentials, reply, slot);
        }
        reply.status = 401;
        why = credentials.refusal;
    }
    settle(*slot, reply, why, origin.client);
    if (reply.status != 404 && reply.status != 405) // not sign-in requests at all
        m_gate.refused(origin, CheckGate::Decision::Source::Request);
}

// Through the gate, as the check port's checks go: the throttles, the
// checker, the audit. The answer waits in its slot for those before it.
void AuthEndpoint::check(QTcpSocket *socket, const ConnectionSet::Origin &origin,
    const Auth::Credentials &credentials, const Answer &reply, const std::shared_ptr<Slot> &slot)
{
    const QPointer<AuthEndpoint> self(this);
    const QPointer<QTcpSocket> where(socket);
    const QString user = credentials.user;
    const QHostAddress client = origin.client;
    m_gate.run(user, credentials.password, origin,
        [self, where, slot, reply = Answer(reply), user, client](
            Http::Verdict &verdict, bool refused) mutable {
            if (!self)
                return;
            QString why;
            if (refused) {
                reply.status = 401;
                why = QStringLiteral("the throttle refused the check for ") + user;
            } else if (verdict.unavailable) {
                reply.status = 503;
                reply.retryAfterSeconds = qMax(1, verdict.retryAfterSeconds);
                why = QStringLiteral("the database could not answer for ") + user;
            } else if (verdict.result == Net::NoResult) {
                reply.status = 401;
                why = QStringLiteral("not found: ") + user;
            } else if (!Auth::headerSafe(verdict.result)) {
                reply.status = 401;
                why = QStringLiteral("the identifier found for %1 cannot go into a header").arg(user);
                verdict.result = Net::NoResult;
                verdict.failure = QStringLiteral("the identifier found holds a control character or a blank "
                                                 "at an end, which X-Remote-Id cannot carry: answered 401");
            } else {
                reply.status = 200;
                reply.user = user;
                reply.userId = verdict.result;
                why = QStringLiteral("found: ") + user;
            }
            self->settle(*slot, reply, why, client);
            if (where)
                self->pump(where);
            self->answerUnanswered(); // the client may have ended its input before it was answered
        });
    // An answer still to come is owed beyond the client's end of input; one given at once needs nothing.
    if (slot->ready)
        return;
    const auto connection = m_connections.find(socket);
    if (connection != m_connections.end() && connection->heldFd < 0)
        connection->heldFd = ::dup(int(socket->socketDescriptor()));
}

void AuthEndpoint::settle(Slot &slot, Answer answer, const QString &why, const QHostAddress &client)
{
    slot.bytes = Auth::response(answer, m_realm);
    slot.ready = true;
    slot.close = answer.connection == Answer::Connection::Close;
    ++m_counters.answers[answer.status];
    if (Net::debugOn())
        qDebug().noquote()
            << QStringLiteral("[d] auth: %1 to %2: %3").arg(answer.status).arg(client.toString(), why);
}

// ---- Answers --------------------------------------------------------------------------

bool AuthEndpoint::writeReady(QTcpSocket *socket, bool *wrote)
{
    const auto connection = m_connections.find(socket);
    if (connection == m_connections.end())
        return false;
    *wrote = false;
    while (!connection->answers.empty() && connection->answers.front()->ready) {
        const std::shared_ptr<Slot> slot = connection->answers.front();
        connection->answers.erase(connection->answers.begin());
        if (slot->close) { // nothing was read after it
            linger(socket, slot->bytes);
            return false;
        }
        socket->write(slot->bytes);
        *wrote = true;
        if (connection->answers.empty())
            connection->idleSinceMs = m_sweep.now();
    }
    if (*wrote)
        socket->flush(); // an answer fits the socket's buffer: no turn of the event loop waits for it
    if (connection->answers.empty() && connection->heldFd >= 0)
        ::close(std::exchange(connection->heldFd, -1));
    return m_connections.contains(socket);
}

// The last answer, then a lingering close as on the check port (see
// ConnectionSet::linger): the sending side is shut once the answer is out,
// and what the client still sends is dropped until it closes, is silent
// lingerIdleMs, or lingerMs have passed, so no reset throws the answer away.
void AuthEndpoint::linger(QTcpSocket *socket, const QByteArray &answer)
{
    Net::corkUntilClosed(int(socket->socketDescriptor()));
    socket->write(answer);
    socket->flush();
    const auto connection = m_connections.find(socket);
    if (connection == m_connections.end() || socket->state() != QAbstractSocket::ConnectedState)
        return; // Qt closes it
    socket->setReadBufferSize(0);
    socket->skip(socket->bytesAvailable());
    connection->buffer.clear();
    connection->pumping = false;
    const qint64 now = m_sweep.now();
    connection->lingerStartMs = connection->lastInputMs = now;
    file(socket, *connection, Wait::Linger,
        Http::lingerEndMs(now, now, m_limits.lingerMs, m_limits.lingerIdleMs));
    written(socket);
}

void AuthEndpoint::written(QTcpSocket *socket)
{
    const auto connection = m_connections.find(socket);
    if (connection == m_connections.end() || socket->bytesToWrite() > m_limits.maxUnsentBytes)
        return;
    if (connection->wait == Wait::Linger) {
        if (socket->bytesToWrite() == 0)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    } else if (!connection->buffer.isEmpty() || socket->bytesAvailable() > 0) {
        pump(socket); // requests held back while the client did not read its answers
    }
}

// ---- Time-outs ----------------------------------------------------------------------------

void AuthEndpoint::fileWait(QTcpSocket *socket, Connection &connection)
{
    if (connection.wait == Wait::Linger)
        return;
    const bool reading = !connection.closing && int(connection.answers.size()) < m_limits.maxPipelined
        && socket->bytesToWrite() <= m_limits.maxUnsentBytes;
    if (reading && (!connection.buffer.isEmpty() || connection.fresh))
        file(socket, connection, Wait::Head, connection.requestStartMs + m_limits.headTimeoutMs);
    // Idle too: a client that leaves its answers unread, so at the cap it makes room.
    else if (!connection.closing && connection.answers.empty())
        file(socket, connection, Wait::Idle, connection.idleSinceMs + m_limits.idleTimeoutMs);
    else
        file(socket, connection, Wait::None, 0); // its checks hold it
}

void AuthEndpoint::file(QTcpSocket *socket, Connection &connection, Wait wait, qint64 endMs)
{
    if (connection.wait == wait && (wait == Wait::None || connection.key.first == endMs))
        return;
    if (auto *from = waits(connection.wait))
        from->erase(connection.key);
    connection.wait = wait;
    connection.key = {endMs, ++m_sequence};
    if (auto *to = waits(wait)) {
        to->emplace(connection.key, socket);
        m_sweep.arm(endMs);
    }
}

std::map<AuthEndpoint::Key, QTcpSocket *> *AuthEndpoint::waits(Wait wait)
{
    switch (wait) {
    case Wait::Head:
        return &m_heads;
    case Wait::Idle:
        return &m_idle;
    case Wait::Linger:
        return &m_lingering;
    case Wait::None:
        break;
    }
    return nullptr;
}

// Every time-out that has ended, then the timer waits for the next one.
void AuthEndpoint::sweep()
{
    const qint64 now = m_sweep.now();
    for (auto *waiting : {&m_heads, &m_idle}) {
        while (!waiting->empty() && waiting->begin()->first.first <= now) {
            QTcpSocket *socket = waiting->begin()->second;
            const Wait wait = waiting == &m_heads ? Wait::Head : Wait::Idle;
            // Bytes that came while the thread was held elsewhere (by a
            // statement, say) may still wait in the system's buffer.
            socket->waitForReadyRead(0);
            const auto connection = m_connections.find(socket);
            if (connection == m_connections.end() || connection->wait != wait || connection->key.first > now)
                continue;
            file(socket, *connection, Wait::None, 0);
            if (wait == Wait::Head) {
                ++m_counters.slowHeads;
                if (Net::debugOn())
                    qDebug().noquote()
                        << QStringLiteral("[d] auth: closed: no whole request from %1 within %2 ms")
                               .arg(connection->peer.toString())
                               .arg(m_limits.headTimeoutMs);
                socket->abort();
            } else {
                ++m_counters.idleClosed;
                // Answers its client does not read would hold a closing connection for good.
                if (socket->bytesToWrite() > 0)
                    socket->abort();
                else
                    socket->disconnectFromHost();
            }
        }
    }
    // Input while lingering moves its end, which is worked out here rather
    // than at every input.
    while (!m_lingering.empty() && m_lingering.begin()->first.first <= now) {
        QTcpSocket *socket = m_lingering.begin()->second;
        Connection &connection = *m_connections.find(socket);
        const qint64 end = Http::lingerEndMs(
            connection.lingerStartMs, connection.lastInputMs, m_limits.lingerMs, m_limits.lingerIdleMs);
        file(socket, connection, end > now ? Wait::Linger : Wait::None, end);
        if (end <= now)
            socket->abort();
    }
    qint64 next = std::numeric_limits<qint64>::max();
    for (const auto *waiting : {&m_heads, &m_idle, &m_lingering}) {
        if (!waiting->empty())
            next = qMin(next, waiting->begin()->first.first);
    }
    if (next != std::numeric_limits<qint64>::max()) {
        m_sweep.restart(next);
    }
}

// Makes room: a lingering connection (it has its answer), else the one that
// has waited longest, idle or with its head.
bool AuthEndpoint::shedOne()
{
    QTcpSocket *victim = nullptr;
    if (!m_lingering.empty()) {
        victim = m_lingering.begin()->second;
        // What it sent so far is read first, so closing it resets nothing.
        char scrap[16 * 1024];
        while (::recv(int(victim->socketDescriptor()), scrap, sizeof scrap, MSG_DONTWAIT) > 0) { }
    } else {
        const auto began = [](const std::map<Key, QTcpSocket *> &waiting, int timeoutMs) {
            return waiting.empty() ? std::numeric_limits<qint64>::max()
                                   : waiting.begin()->first.first - timeoutMs;
        };
        const qint64 idle = began(m_idle, m_limits.idleTimeoutMs),
                     head = began(m_heads, m_limits.headTimeoutMs);
        if (m_idle.empty() && m_heads.empty())
            return false;
        victim = (idle <= head ? m_idle : m_heads).begin()->second;
    }
    file(victim, *m_connections.find(victim), Wait::None, 0);
    ++m_counters.shed;
    victim->abort(); // its descriptor is free at once
    return true;
}

// Only for a client that ended its input: a connection the endpoint ends itself takes its answers along.
void AuthEndpoint::keepUnanswered(QTcpSocket *socket)
{
    const auto connection = m_connections.find(socket);
    if (connection == m_connections.end() || connection->heldFd < 0 || connection->answers.empty()
        || socket->error() != QAbstractSocket::RemoteHostClosedError)
        return;
    m_unanswered.push_back({std::exchange(connection->heldFd, -1), std::move(connection->answers)});
    answerUnanswered();
}

// What is ready goes out in order, as the connection would have written it; the descriptor is closed after
// the last answer. Answers are small: one that does not fit the system's buffer is not waited for.
void AuthEndpoint::answerUnanswered()
{
    for (auto client = m_unanswered.begin(); client != m_unanswered.end();) {
        auto &answers = client->answers;
        while (!answers.empty() && answers.front()->ready) {
            const Slot &slot = *answers.front();
            ::send(
                client->fd, slot.bytes.constData(), size_t(slot.bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (slot.close)
                answers.clear();
            else
                answers.erase(answers.begin());
        }
        if (answers.empty()) {
            ::close(client->fd);
            client = m_unanswered.erase(client);
        } else {
            ++client;
        }
    }
}

void AuthEndpoint::forget(QTcpSocket *socket)
{
    const auto connection = m_connections.find(socket);
    if (connection == m_connections.end())
        return;
    if (connection->heldFd >= 0)
        ::close(connection->heldFd);
    if (auto *waiting = waits(connection->wait))
        waiting->erase(connection->key);
    m_connections.erase(connection);
}
