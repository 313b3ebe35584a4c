#ifndef HTTPENDPOINT_H
#define HTTPENDPOINT_H

#include "httprequest.h"

#include <QObject>
#include <QString>

#include <functional>

class QTcpServer;
class QTcpSocket;

// The HTTP credential check on accepted connections: buffers each request until
// its first line can be judged (within Http::Limits), narrates it on the debug
// output, has the check run, answers and closes. One request per connection.
class HttpEndpoint : public QObject
{
    Q_OBJECT

public:
    // Runs the credential check for a user name and password and calls done
    // with its verdict; done may come later, or never reach a connection that
    // has gone meanwhile.
    using CheckFunction = std::function<void(const QString &userName, const QString &password,
        std::function<void(const Http::Verdict &verdict)> done)>;

    explicit HttpEndpoint(
        CheckFunction check, const Http::Limits &limits = Http::Limits(), QObject *parent = nullptr);

    // Takes the listener's next pending connection and starts its request
    // time-out; null when none is pending. The caller wires its readyRead to serve().
    QTcpSocket *accept(QTcpServer *listener);
    // Bytes arrived on socket: judges the request once it can be, else waits.
    void serve(QTcpSocket *socket);

    const Http::Limits &limits() const { return m_limits; }

private:
    void advance(QTcpSocket *socket, bool timedOut);
    void judge(QTcpSocket *socket, const QByteArray &received);

    CheckFunction m_check;
    Http::Limits m_limits;
};

#endif // HTTPENDPOINT_H
