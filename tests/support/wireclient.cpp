#include "wireclient.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QTimer>

#include <cerrno>
#include <memory>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Runs the event loop until every client is closed or refused, or waitMs has
// passed; true when all are. An event loop rather than QTest::qWaitFor, whose
// pauses between passes would slow a burst of clients several times over.
bool waitEnded(const std::vector<Client *> &clients, int waitMs)
{
    const auto ended = [&clients] {
        return std::all_of(clients.cbegin(), clients.cend(), [](const Client *c) { return c->closed || c->refused; });
    };
    if (ended())
        return true;
    QEventLoop loop;
    QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
    for (Client *c : clients) {
        // After the client's own handlers, which were connected first.
        QObject::connect(&c->socket, &QAbstractSocket::disconnected, &loop, [&] { if (ended()) loop.quit(); });
        QObject::connect(&c->socket, &QAbstractSocket::errorOccurred, &loop, [&] { if (ended()) loop.quit(); });
    }
    loop.exec();
    return ended();
}
} // namespace

Client::Client(quint16 port, const QByteArray &request, QObject *parent) : QObject(parent)
{
    connect(&socket, &QTcpSocket::readyRead, this, [this] { received += socket.readAll(); });
    connect(&socket, &QTcpSocket::disconnected, this, [this] {
        if (socket.isReadable()) // not after abort()
            received += socket.readAll();
        closedAfterMs = m_clock.elapsed();
        closed = true;
    });
    connect(&socket, &QTcpSocket::connected, this, [this, request] {
        if (!request.isEmpty())
            socket.write(request);
    });
    connect(&socket, &QAbstractSocket::errorOccurred, this, [this] {
        if (!closed && socket.state() != QAbstractSocket::ConnectedState)
            refused = true;
    });
    m_clock.start();
    socket.connectToHost(QHostAddress::LocalHost, port);
}

bool Client::waitClosed(int waitMs)
{
    return waitEnded({this}, waitMs) && closed;
}

QByteArray exchange(quint16 port, const QByteArray &request, int waitMs)
{
    Client client(port, request);
    if (!client.waitClosed(waitMs))
        return (client.refused ? "<refused> " : "<no close> ") + client.received;
    return client.received;
}

QByteArray metricValue(quint16 adminPort, const QByteArray &series, int waitMs)
{
    const QByteArray metrics = exchange(adminPort, "GET /metrics HTTP/1.0\r\n\r\n", waitMs);
    const int at = metrics.indexOf('\n' + series + ' ');
    if (at < 0)
        return QByteArray();
    const int start = at + series.size() + 2;
    return metrics.mid(start, metrics.indexOf('\n', start) - start);
}

QVector<QByteArray> answersTo(quint16 port, const QVector<QByteArray> &requests, int parallel, int timeoutMs)
{
    QVector<QByteArray> answers;
    while (answers.size() < requests.size()) {
        std::vector<std::unique_ptr<Client>> batch;
        std::vector<Client *> waiting;
        for (int i = answers.size(); i < requests.size() && int(batch.size()) < parallel; ++i) {
            batch.push_back(std::make_unique<Client>(port, requests[i]));
            waiting.push_back(batch.back().get());
        }
        waitEnded(waiting, timeoutMs);
        for (const auto &c : batch)
            answers << (c->closed ? c->received : QByteArray("<no close>"));
    }
    return answers;
}

QByteArray checkRequest(const QByteArray &user, const QByteArray &password)
{
    return "GET /t/check?username=" + user + "&password=" + password + " HTTP/1.1\r\nHost: agent\r\n\r\n";
}

static const QByteArray AnswerHeader = "HTTP/1.0 200 Ok\r\nContent-Type: text/html; charset=\"utf-8\"\r\n\r\n";

int connectTo(quint16 port, bool blocking)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

QByteArray found(const QByteArray &identifierJson)
{
    return AnswerHeader + "{\"rez\":\"exist\",\"userid\":\"" + identifierJson + "\"}\n";
}

QByteArray notFound()
{
    return AnswerHeader + "{\"rez\":\"notfount\",\"e\":\"n\"}\n";
}

QString lookupReplyText(const QByteArray &received)
{
    const LookupReply::Decoded reply = LookupReply::decode(received);
    switch (reply.state) {
    case LookupReply::State::Complete:
        return reply.isNull ? QStringLiteral("<null string>") : reply.text;
    case LookupReply::State::NeedMore:
        return QStringLiteral("<need more: %1 of %2 bytes>").arg(received.size()).arg(reply.expectedBytes);
    case LookupReply::State::Malformed:
        break;
    }
    return QStringLiteral("<malformed: %1>").arg(reply.problem);
}
