#include "listeners.h"
#include "addressblocks.h"
#include "debugswitch.h"
#include "proxyprotocol.h"

#include <QCoreApplication>
#include <QDebug>
#include <QHostAddress>
#include <QNetworkSession>
#include <QSettings>
#include <QTcpServer>
#include <QTimer>
#include <QVariant>

#include <climits>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace {
// Qt's own per-user store keeps the identifier of the network configuration last used.
const QString DefaultConfigurationKey = QStringLiteral("QtNetwork/DefaultNetworkConfiguration");

QSettings qtProjectStore()
{
    return QSettings(QSettings::UserScope, QStringLiteral("QtProject"));
}
} // namespace

namespace Net {

bool startListener(QTcpServer *listener, int port, QString *error, const QString &address)
{
    if (!portInRange(port)) {
        *error = QCoreApplication::translate("Server", "port %1 is out of range").arg(port);
        return false;
    }
    QString why;
    const std::optional<QHostAddress> bound = bindAddress(address, &why);
    if (!bound) {
        *error = why;
        return false;
    }
    if (listener->listen(*bound, quint16(port))) {
        // Listening again on a listening socket only sets its backlog.
        ::listen(int(listener->socketDescriptor()), ListenBacklog);
        return true;
    }
    *error = listener->errorString();
    return false;
}

int descriptorLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY
        || limit.rlim_cur > INT_MAX)
        return INT_MAX;
    return int(limit.rlim_cur);
}

void cork(int fd, bool on)
{
    const int value = on ? 1 : 0;
    ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &value, sizeof value);
}

bool connectionPending(QTcpServer *listener)
{
    pollfd pending {int(listener->socketDescriptor()), POLLIN, 0};
    return ::poll(&pending, 1, 0) == 1 && (pending.revents & POLLIN);
}

QString cannotListenLine(const QString &listener, int port, const QString &error)
{
    return QStringLiteral("[-] the %1 listener cannot listen on port %2: %3")
        .arg(listener)
        .arg(port)
        .arg(error);
}

void tellProxyRefused(const QString &peer, const Proxy::Parsed *parsed, bool ended)
{
    if (parsed) {
        QString why = parsed->why;
        if (parsed->status != Proxy::Status::Bad)
            why = ended ? QStringLiteral("the connection ended before it was whole")
                        : QStringLiteral("not whole in time");
        qWarning().noquote() << QStringLiteral("[e] refused the PROXY header from %1: %2").arg(peer, why);
    } else if (debugOn()) {
        qDebug().noquote() << QStringLiteral(
            "[d] closed without an answer: a PROXY header from %1, which http/trusted_proxies does not hold")
                                  .arg(peer);
    }
}

void keepAccepting(QTcpServer *listener)
{
    QObject::connect(listener, &QTcpServer::acceptError, listener,
        [listener] { QTimer::singleShot(AcceptRetryMs, listener, &QTcpServer::resumeAccepting); });
}

QString statusAddress(const QList<QHostAddress> &addresses)
{
    for (const QHostAddress &address : addresses) {
        if (address != QHostAddress::LocalHost && address.toIPv4Address() != 0)
            return address.toString();
    }
    return QHostAddress(QHostAddress::LocalHost).toString();
}

QString rememberedConfiguration()
{
    return qtProjectStore().value(DefaultConfigurationKey).toString();
}

// The network-session classes are deprecated in Qt 5.15 and gone in Qt 6; they
// still decide, on platforms that need a bearer, when the listeners may start.
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
void rememberSessionConfiguration(QNetworkSession *session)
{
    if (!session)
        return;
    const QNetworkConfiguration config = session->configuration();
    const QString id = config.type() == QNetworkConfiguration::UserChoice
        ? session->sessionProperty(QStringLiteral("UserChoiceConfiguration")).toString()
        : config.identifier();
    qtProjectStore().setValue(DefaultConfigurationKey, id);
}
QT_WARNING_POP

QHostAddress clientAddress(const QAbstractSocket &socket)
{
    const QVariant set = socket.property(ClientAddressProperty);
    const QHostAddress address = set.isValid() ? QHostAddress(set.toString()) : socket.peerAddress();
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    return mapped && address.protocol() == QAbstractSocket::IPv6Protocol ? QHostAddress(ipv4) : address;
}

} // namespace Net
