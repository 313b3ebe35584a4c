#include "adminendpoint.h"
#include "listeners.h"

#include <QTcpSocket>

AdminEndpoint::AdminEndpoint(
    ReadyFunction ready, MetricsFunction metrics, const Http::Limits &limits, QObject *parent)
    : QObject(parent), m_ready(std::move(ready)), m_metrics(std::move(metrics)), m_limits(limits),
      m_connections(*this, limits)
{
    m_connections.listenOn(&m_listener);
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

void AdminEndpoint::read(QTcpSocket *socket, ConnectionSet::Arrival arrival)
{
    const Http::Step step = Http::nextStep(socket->bytesAvailable(), socket->canReadLine(),
        arrival != ConnectionSet::Arrival::Bytes, m_limits.maxRequestBytes);
    if (step == Http::Step::Wait)
        return;
    const std::shared_ptr<ConnectionSet::Reply> reply = m_connections.take(socket);
    if (step == Http::Step::Drop)
        socket->close();
    else if (step == Http::Step::Refuse)
        socket->abort(); // an over-long request line gets nothing
    else
        answer(reply, socket->readLine().trimmed());
}

void AdminEndpoint::answer(const std::shared_ptr<ConnectionSet::Reply> &reply, const QByteArray &requestLine)
{
    switch (Admin::route(requestLine)) {
    case Admin::Route::Live:
        reply->send(Admin::liveResponse());
        return;
    case Admin::Route::Metrics:
        reply->send(Admin::metricsResponse(m_metrics()));
        return;
    case Admin::Route::Ready:
        m_ready([reply](const QString &notReady) { reply->send(Admin::readyResponse(notReady)); });
        return;
    case Admin::Route::NotFound:
        reply->send(Admin::notFoundResponse());
        return;
    }
}
