#include "httprequest.h"
#include "wiretext.h"
#include "app/server.h"

#include <QDebug>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace {

const char *const Draining = "draining";

// Closing a connection while its input is still unread makes the system reset
// it, and the reset throws away the answer on its way out. So after refusing
// an over-long request the rest of it is read and dropped, the sending side is
// shut once the answer is out, and the connection ends when the client closes
// it, or at the latest after the request time-out.
void answerThenDrain(QTcpSocket *socket, const QByteArray &answer)
{
    socket->setProperty(Draining, true);
    QObject::disconnect(socket, SIGNAL(readyRead()), nullptr, nullptr);
    socket->setReadBufferSize(0);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() == 0)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    });
    QTimer::singleShot(Http::RequestTimeoutMs, socket, [socket] { socket->abort(); });
    socket->write(answer);
    socket->readAll();
}

} // namespace

void Server::httpNewConnection()
{
    QTcpSocket *socket = httpServer->nextPendingConnection();
    if (!socket)
        return; // the slot ran more often than connections arrived

    // Connected by signature: slotReadClient finds its socket as the sender.
    connect(socket, SIGNAL(readyRead()), this, SLOT(slotReadClient()));
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);

    // One byte over the limit is enough to know a request line is too long;
    // Qt stops reading from the connection once the buffer is full.
    socket->setReadBufferSize(Http::MaxRequestBytes + 1);
    // A child of the socket, so it is gone with the connection. (A single-shot
    // timer with the socket as context would outlive it by up to the whole
    // time-out, and under load pile up by the ten thousand.)
    auto *timeout = new QTimer(socket);
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, this, [this, socket] { serveHttp(socket, true); });
    timeout->start(Http::RequestTimeoutMs);
}

void Server::slotReadClient()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (socket)
        serveHttp(socket, false);
}

// Bytes stay in the socket's own buffer until the request can be judged. A
// client that ends its sending side cannot be answered: Qt closes the
// connection on end of input, and the socket then frees itself.
void Server::serveHttp(QTcpSocket *socket, bool timedOut)
{
    if (!socket->isOpen() || socket->property(Draining).toBool())
        return; // answered already; the close is still under way

    const Http::Step step = Http::nextStep(socket->bytesAvailable(), socket->canReadLine(), timedOut);
    if (step == Http::Step::Wait)
        return;
    if (step == Http::Step::Drop) {
        socket->close();
        return;
    }
    qDebug() << QStringLiteral("[d] slotReadClient");
    if (step == Http::Step::Refuse) {
        answerThenDrain(socket, Http::checkResponse(Net::NoResult));
        return;
    }
    const QString result = judgeHttp(socket->readAll());
    socket->write(Http::checkResponse(result));
    socket->close(); // sends what was written, then shuts the connection
}

// The credential check's result for one request ("none" for anything that is
// not a matching request), narrated on the debug output with the password masked.
QString Server::judgeHttp(const QByteArray &received)
{
    const Http::CheckRequest request = Http::readCheckRequest(received);
    if (!request.hasGet)
        return Net::NoResult;

    qDebug() << "httpQuery=" << request.shownLine << " index=" << request.firstIndex;
    qDebug() << "[Original String]:" << request.shownRendered;
    qDebug() << "--------------------------------------------------------------------";
    qDebug() << "(QUrl::toEncoded)          :" << request.shownEncoded;
    qDebug() << "(QUrl::url)                :" << request.shownUrl;
    qDebug() << "(QUrl::toString)           :" << request.shownString;
    qDebug() << "(QUrl::toDisplayString)    :" << request.shownDisplay;
    qDebug() << "(QUrl::fromPercentEncoding):" << request.shownPercentDecoded;
    if (!request.matched)
        return Net::NoResult;

    qDebug() << request.userName << QStringLiteral("********");
    const QString result = checkUser(request.userName, request.password);
    if (result != Net::NoResult)
        qDebug() << "[+] user exist! RET=" << result;
    return result;
}
