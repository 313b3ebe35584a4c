#ifndef ADMINENDPOINT_H
#define ADMINENDPOINT_H

#include "admin.h"
#include "connectionset.h"
#include "httprequest.h"

#include <QObject>
#include <QString>
#include <QTcpServer>

#include <functional>

class QHostAddress;
class QTcpSocket;

// Health and metrics for monitoring and load balancers, on a listener of its
// own: GET /live, /ready and /metrics, anything else 404; one request per
// connection, within the check endpoint's limits.
class AdminEndpoint : public QObject, private ConnectionSet::Reader
{
    Q_OBJECT

public:
    // Says, now or later, what is not ready ("" for nothing).
    using ReadyFunction = std::function<void(std::function<void(const QString &notReady)> done)>;
    // The metrics' text, read afresh for every request.
    using MetricsFunction = std::function<QByteArray()>;

    AdminEndpoint(ReadyFunction ready, MetricsFunction metrics, const Http::Limits &limits = Http::Limits(),
        QObject *parent = nullptr);

    // On failure *error says why.
    bool listen(const QHostAddress &address, int port, QString *error);
    quint16 port() const { return m_listener.serverPort(); }

private:
    void read(QTcpSocket *socket, ConnectionSet::Arrival arrival) override;
    void answer(const std::shared_ptr<ConnectionSet::Reply> &reply, const QByteArray &requestLine);

    ReadyFunction m_ready;
    MetricsFunction m_metrics;
    Http::Limits m_limits;
    QTcpServer m_listener;
    ConnectionSet m_connections;
};

#endif // ADMINENDPOINT_H
