#ifndef LOOKUPCLIENT_H
#define LOOKUPCLIENT_H

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

// Exit codes of tovr_merk_lookup, one per way a lookup can end.
namespace ExitCode {
constexpr int Ok = 0;            // a reply was printed (nothing for a null string)
constexpr int Usage = 2;         // bad command line
constexpr int ConnectFailed = 3; // connection refused, host not found, network unreachable
constexpr int TimedOut = 4;      // no complete reply within the time-out
constexpr int Malformed = 5;     // the bytes received are not one data-stream string
constexpr int Truncated = 6;     // the connection closed before the reply was complete
} // namespace ExitCode

namespace LookupClientLimits {
// The operator dismisses two message boxes before the agent answers, so the
// default wait is long enough for a person, not for a machine.
constexpr double DefaultTimeoutSeconds = 30.0;
constexpr double MaxTimeoutSeconds = 24.0 * 60 * 60;
// Once a whole reply is in, how long to wait for the agent's close, which shows
// that no stray bytes follow; an agent that keeps the connection open still
// counts as having answered.
constexpr int CloseGraceMs = 1000;
} // namespace LookupClientLimits

// One lookup: connect, send the text as UTF-8, read one reply, finish.
class LookupClient : public QObject
{
    Q_OBJECT

public:
    struct Outcome
    {
        int exitCode = ExitCode::Ok;
        bool printText = false; // print `text` and a line feed on standard output
        QString text;
        QString message; // for standard error; empty when there is nothing to say
    };

    explicit LookupClient(QObject *parent = nullptr);

    void start(const QString &host, quint16 port, const QString &text, int timeoutMs);
    const Outcome &outcome() const { return m_outcome; }

signals:
    void finished();

private:
    void onConnected();
    void onReadyRead();
    void onError(QAbstractSocket::SocketError error);
    void onEndOfInput();
    void onTimeout();
    void finish(int exitCode, const QString &message);
    void finishWithReply();

    QTcpSocket m_socket;
    QTimer m_deadline;
    QTimer m_closeGrace;
    QByteArray m_request;
    QByteArray m_received;
    QString m_endpoint; // "host:port", for messages
    double m_timeoutSeconds = 0;
    bool m_connected = false;
    bool m_done = false;
    Outcome m_outcome;
};

#endif // LOOKUPCLIENT_H
