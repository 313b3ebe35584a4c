#include "lookupclient.h"
#include "replydecoder.h"

using LookupReply::State;

LookupClient::LookupClient(QObject *parent) : QObject(parent)
{
    m_deadline.setSingleShot(true);
    m_closeGrace.setSingleShot(true);
    m_closeGrace.setInterval(LookupClientLimits::CloseGraceMs);
    connect(&m_socket, &QAbstractSocket::connected, this, &LookupClient::onConnected);
    connect(&m_socket, &QIODevice::readyRead, this, &LookupClient::onReadyRead);
    connect(&m_socket, &QAbstractSocket::errorOccurred, this, &LookupClient::onError);
    connect(&m_socket, &QAbstractSocket::disconnected, this, &LookupClient::onEndOfInput);
    connect(&m_deadline, &QTimer::timeout, this, &LookupClient::onTimeout);
    connect(&m_closeGrace, &QTimer::timeout, this, &LookupClient::finishWithReply);
}

void LookupClient::start(const QString &host, quint16 port, const QString &text, int timeoutMs)
{
    m_request = text.toUtf8();
    m_endpoint = QStringLiteral("%1:%2").arg(host).arg(port);
    m_timeoutSeconds = timeoutMs / 1000.0;
    m_deadline.start(timeoutMs);
    m_socket.connectToHost(host, port);
}

void LookupClient::onConnected()
{
    m_connected = true;
    // The agent takes the first bytes that arrive as the whole text, so they go
    // out in one write. The sending side stays open: the agent's socket layer
    // treats a half-close as the end of the connection and would drop the reply.
    m_socket.write(m_request);
}

void LookupClient::onReadyRead()
{
    m_received += m_socket.readAll();
    const LookupReply::Decoded reply = LookupReply::decode(m_received);
    if (reply.state == State::Malformed) {
        finish(ExitCode::Malformed,
            QStringLiteral("malformed reply from %1: %2").arg(m_endpoint, reply.problem));
    } else if (reply.state == State::Complete && !m_closeGrace.isActive()) {
        m_closeGrace.start();
    }
}

void LookupClient::onError(QAbstractSocket::SocketError error)
{
    if (m_done)
        return;
    if (!m_connected) {
        finish(ExitCode::ConnectFailed,
            QStringLiteral("cannot connect to %1: %2").arg(m_endpoint, m_socket.errorString()));
        return;
    }
    // After connecting, any error (the agent's close among them) ends the input.
    Q_UNUSED(error);
    onEndOfInput();
}

void LookupClient::onEndOfInput()
{
    if (m_done)
        return;
    m_received += m_socket.readAll();
    const LookupReply::Decoded reply = LookupReply::decode(m_received);
    switch (reply.state) {
    case State::Complete:
        finishWithReply();
        return;
    case State::Malformed:
        finish(ExitCode::Malformed,
            QStringLiteral("malformed reply from %1: %2").arg(m_endpoint, reply.problem));
        return;
    case State::NeedMore:
        break;
    }
    QString what;
    if (m_received.isEmpty())
        what = QStringLiteral("before sending any reply");
    else if (reply.expectedBytes < 0)
        what = QStringLiteral("after %1 byte(s), inside the 4-byte length").arg(m_received.size());
    else
        what = QStringLiteral("after %1 of the %2 bytes its reply announced")
                   .arg(m_received.size())
                   .arg(reply.expectedBytes);
    finish(ExitCode::Truncated,
        QStringLiteral("truncated reply: %1 closed the connection %2").arg(m_endpoint, what));
}

void LookupClient::onTimeout()
{
    if (m_done)
        return;
    m_received += m_socket.readAll();
    if (LookupReply::decode(m_received).state == State::Complete) {
        finishWithReply();
        return;
    }
    const QString seconds = QString::number(m_timeoutSeconds, 'g', 6);
    if (!m_connected) {
        finish(ExitCode::TimedOut,
            QStringLiteral("timed out after %1 s connecting to %2").arg(seconds, m_endpoint));
        return;
    }
    finish(ExitCode::TimedOut,
        QStringLiteral("timed out after %1 s waiting for the reply from %2 (%3 byte(s) "
                       "received; the agent answers only after its operator has "
                       "dismissed two message boxes)")
            .arg(seconds, m_endpoint)
            .arg(m_received.size()));
}

void LookupClient::finishWithReply()
{
    const LookupReply::Decoded reply = LookupReply::decode(m_received);
    if (reply.state != State::Complete)
        return; // more arrived during the grace wait; onReadyRead has dealt with it
    m_outcome.printText = !reply.isNull;
    m_outcome.text = reply.text;
    finish(ExitCode::Ok,
        reply.isNull ? QStringLiteral("note: the reply is a null string (no "
                                      "value); nothing printed")
                     : QString());
}

void LookupClient::finish(int exitCode, const QString &message)
{
    if (m_done)
        return;
    m_done = true;
    m_deadline.stop();
    m_closeGrace.stop();
    m_outcome.exitCode = exitCode;
    m_outcome.message = message;
    if (exitCode != ExitCode::Ok)
        m_outcome.printText = false;
    m_socket.abort();
    emit finished();
}
