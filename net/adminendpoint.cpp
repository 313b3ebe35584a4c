#include "adminendpoint.h"
#include "listeners.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {
void reply(QTcpSocket *socket, const QByteArray &answer)
{
    socket->write(answer);
    socket->close(); // sends what was written, then shuts the connection
}
} // namespace

AdminEndpoint::AdminEndpoint(
    ReadyFunction ready, MetricsFunction metrics, const Http::Limits &limits, QObject *parent)
    : QObject(parent), m_ready(std::move(ready)), m_metrics(std::move(metrics)), m_limits(limits)
{
    connect(&m_listener, &QTcpServer::newConnection, this, &AdminEndpoint::accept);
    Net::keepAccepting(&m_listener);
}

bool AdminEndpoint::listen(const QHostAddress &address, int port, QString *error)
{
    if (!Net::portInRange(port) || !m_listener.listen(address, quint16(port))) {
        *error = Net::portInRange(port) ? m_listener.errorString()
                                        : QStringLiteral("port %1 is out of range").arg(port);
        return false;
    }
    return true;
}

void AdminEndpoint::accept()
{
    while (QTcpSocket *socket = m_listener.nextPendingConnection()) {
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        socket->setReadBufferSize(m_limits.maxRequestBytes + 1);
        // Few connections come here: a timer each is simplest.
        auto *deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, this, [this, socket] { serve(socket, true); });
        connect(socket, &QIODevice::readyRead, this, [this, socket] { serve(socket, false); });
        deadline->start(m_limits.requestTimeoutMs);
    }
}

void AdminEndpoint::serve(QTcpSocket *socket, bool timedOut)
{
    if (!socket->isOpen())
        return;
    const Http::Step step
        = Http::nextStep(socket->bytesAvailable(), socket->canReadLine(), timedOut, m_limits.maxRequestBytes);
    if (step == Http::Step::Wait)
        return;
    disconnect(socket, &QIODevice::readyRead, this, nullptr);
    if (QTimer *deadline = socket->findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly)) {
        deadline->stop();
        deadline->deleteLater(); // possibly inside its own timeout
    }
    if (step == Http::Step::Drop) {
        socket->close();
        return;
    }
    if (step == Http::Step::Refuse) {
        socket->abort(); // an over-long request line gets nothing
        return;
    }
    answer(socket, socket->readLine().trimmed());
}

void AdminEndpoint::answer(QTcpSocket *socket, const QByteArray &requestLine)
{
    switch (Admin::route(requestLine)) {
    case Admin::Route::Live:
        reply(socket, Admin::liveResponse());
        return;
    case Admin::Route::Metrics:
        reply(socket, Admin::metricsResponse(m_metrics()));
        return;
    case Admin::Route::Ready: {
        const QPointer<QTcpSocket> client(socket);
        m_ready([client](const QString &notReady) {
            if (client && client->isOpen())
                reply(client, Admin::readyResponse(notReady));
        });
        return;
    }
    case Admin::Route::NotFound:
        reply(socket, Admin::notFoundResponse());
        return;
    }
}
