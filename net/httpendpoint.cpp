#include "httprequest.h"
#include "wiretext.h"
#include "app/server.h"

#include <QDebug>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

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
    if (!socket->isOpen())
        return; // answered already; the close is still under way

    const Http::Step step = Http::nextStep(socket->bytesAvailable(), socket->canReadLine(), timedOut);
    if (step == Http::Step::Wait)
        return;
    if (step == Http::Step::Drop) {
        socket->close();
        return;
    }
    qDebug() << QStringLiteral("[d] slotReadClient");
    const QString result = step == Http::Step::Judge ? judgeHttp(socket->readAll()) : Net::NoResult;
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
