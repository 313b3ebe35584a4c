#include "httpendpoint.h"
#include "wiretext.h"

#include <QDebug>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace {

// The connection's request time-out; a child of the socket, so it is gone with
// the connection. (A single-shot timer with the socket as context would outlive
// it by up to the whole time-out, and under load pile up by the ten thousand.)
QTimer *deadlineOf(QTcpSocket *socket)
{
    return socket->findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
}

// The request has been judged: nothing more is read for it, and its time-out
// no longer applies.
void stopReading(QTcpSocket *socket)
{
    QObject::disconnect(socket, &QIODevice::readyRead, nullptr, nullptr);
    if (QTimer *deadline = deadlineOf(socket)) {
        deadline->stop();
        QObject::disconnect(deadline, nullptr, nullptr, nullptr);
    }
}

void reply(QTcpSocket *socket, const QByteArray &answer)
{
    socket->write(answer);
    socket->close(); // sends what was written, then shuts the connection
}

// Closing a connection while its input is still unread makes the system reset
// it, and the reset throws away the answer on its way out. So after refusing
// an over-long request the rest of it is read and dropped, the sending side is
// shut once the answer is out, and the connection ends when the client closes
// it, or at the latest after the request time-out.
void answerThenDrain(QTcpSocket *socket, const QByteArray &answer, int timeoutMs)
{
    socket->setReadBufferSize(0);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() == 0)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    });
    QTimer *deadline = deadlineOf(socket);
    QObject::connect(deadline, &QTimer::timeout, socket, &QAbstractSocket::abort);
    deadline->start(timeoutMs);
    socket->write(answer);
    socket->readAll();
}

} // namespace

HttpEndpoint::HttpEndpoint(CheckFunction check, const Http::Limits &limits, QObject *parent)
    : QObject(parent), m_check(std::move(check)), m_limits(limits)
{ }

QTcpSocket *HttpEndpoint::accept(QTcpServer *listener)
{
    QTcpSocket *socket = listener->nextPendingConnection();
    if (!socket)
        return nullptr; // the slot ran more often than connections arrived
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);

    // One byte over the limit is enough to know a request line is too long;
    // Qt stops reading from the connection once the buffer is full.
    socket->setReadBufferSize(m_limits.maxRequestBytes + 1);
    auto *deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, this, [this, socket] { advance(socket, true); });
    deadline->start(m_limits.requestTimeoutMs);
    return socket;
}

void HttpEndpoint::serve(QTcpSocket *socket)
{
    if (socket)
        advance(socket, false);
}

// Bytes stay in the socket's own buffer until the request can be judged. A
// client that ends its sending side cannot be answered: Qt closes the
// connection on end of input, and the socket then frees itself.
void HttpEndpoint::advance(QTcpSocket *socket, bool timedOut)
{
    if (!socket->isOpen())
        return;
    const Http::Step step
        = Http::nextStep(socket->bytesAvailable(), socket->canReadLine(), timedOut, m_limits.maxRequestBytes);
    if (step == Http::Step::Wait)
        return;
    stopReading(socket);
    if (step == Http::Step::Drop) {
        socket->close();
        return;
    }
    qDebug() << QStringLiteral("[d] slotReadClient");
    if (step == Http::Step::Refuse) {
        answerThenDrain(socket, Http::notFoundResponse(), m_limits.requestTimeoutMs);
        return;
    }
    judge(socket, socket->readAll());
}

// Narrated on the debug output with the password masked; the check runs only
// for a request that matched.
void HttpEndpoint::judge(QTcpSocket *socket, const QByteArray &received)
{
    const Http::CheckRequest request = Http::readCheckRequest(received);
    if (!request.hasGet) {
        reply(socket, Http::notFoundResponse());
        return;
    }
    qDebug() << "httpQuery=" << request.shownLine << " index=" << request.firstIndex;
    qDebug() << "[Original String]:" << request.shownRendered;
    qDebug() << "--------------------------------------------------------------------";
    qDebug() << "(QUrl::toEncoded)          :" << request.shownEncoded;
    qDebug() << "(QUrl::url)                :" << request.shownUrl;
    qDebug() << "(QUrl::toString)           :" << request.shownString;
    qDebug() << "(QUrl::toDisplayString)    :" << request.shownDisplay;
    qDebug() << "(QUrl::fromPercentEncoding):" << request.shownPercentDecoded;
    if (!request.matched) {
        reply(socket, Http::notFoundResponse());
        return;
    }

    qDebug() << request.userName << Net::MaskedPassword;
    const QPointer<QTcpSocket> client(socket);
    const bool answerUnavailable = m_limits.answerUnavailable;
    m_check(request.userName, request.password, [client, answerUnavailable](const Http::Verdict &verdict) {
        if (verdict.result != Net::NoResult)
            qDebug() << "[+] user exist! RET=" << verdict.result;
        if (client && client->isOpen())
            reply(client, Http::verdictResponse(verdict, answerUnavailable));
    });
}
