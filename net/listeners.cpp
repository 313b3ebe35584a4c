#include "listeners.h"
#include "lookup.h"
#include "app/server.h"

#include <QDebug>
#include <QHostAddress>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkConfigurationManager>
#include <QNetworkInterface>
#include <QNetworkSession>
#include <QSettings>
#include <QTcpServer>
#include <QTimer>

#include <sys/socket.h>

namespace Net {

QString boxTitle()
{
    return Server::tr("TOVR/MERK SQL Agent (checker)");
}

QString statusAddress(const QList<QHostAddress> &addresses)
{
    for (const QHostAddress &address : addresses) {
        if (address != QHostAddress::LocalHost && address.toIPv4Address() != 0)
            return address.toString();
    }
    return QHostAddress(QHostAddress::LocalHost).toString();
}

} // namespace Net

namespace {

// Qt's own per-user store keeps the identifier of the network configuration last used.
const QString NetworkGroup = QStringLiteral("QtNetwork/");
const QString DefaultConfigurationKey = NetworkGroup + QStringLiteral("DefaultNetworkConfiguration");

QString rememberedConfiguration()
{
    return QSettings(QSettings::UserScope, QStringLiteral("QtProject")).value(DefaultConfigurationKey).toString();
}

void rememberConfiguration(const QString &id)
{
    QSettings(QSettings::UserScope, QStringLiteral("QtProject")).setValue(DefaultConfigurationKey, id);
}

// QTcpServer pauses a listener whose accept failed for lack of resources and
// never resumes it by itself; try again shortly, as often as it takes.
void keepAccepting(QTcpServer *listener)
{
    QObject::connect(listener, &QTcpServer::acceptError, listener, [listener] {
        QTimer::singleShot(Net::AcceptRetryMs, listener, &QTcpServer::resumeAccepting);
    });
}

} // namespace

// The network-session classes are deprecated in Qt 5.15 and gone in Qt 6; they
// still decide, on platforms that need a bearer, when the listeners may start.
void Server::openNetwork()
{
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
    QNetworkConfigurationManager manager;
    if (!(manager.capabilities() & QNetworkConfigurationManager::NetworkSessionRequired)) {
        sessionOpened();
        return;
    }

    QNetworkConfiguration config = manager.configurationFromIdentifier(rememberedConfiguration());
    if ((config.state() & QNetworkConfiguration::Discovered) != QNetworkConfiguration::Discovered)
        config = manager.defaultConfiguration();

    networkSession = new QNetworkSession(config, this);
    connect(networkSession, &QNetworkSession::opened, this, &Server::sessionOpened);

    statusLabel->setText(tr("Opening network session."));
    networkSession->open();
QT_WARNING_POP
}

void Server::sessionOpened()
{
    if (networkSession) {
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
        const QNetworkConfiguration config = networkSession->configuration();
        const QString id = config.type() == QNetworkConfiguration::UserChoice
                               ? networkSession->sessionProperty(QStringLiteral("UserChoiceConfiguration")).toString()
                               : config.identifier();
QT_WARNING_POP
        rememberConfiguration(id);
    }

    QString error;
    tcpServer = new QTcpServer(this);
    connect(tcpServer, &QTcpServer::newConnection, this, &Server::sendFortune);
    // Lookups run one at a time; the rest wait here instead of being refused.
    tcpServer->setMaxPendingConnections(Lookup::MaxPendingConnections);
    keepAccepting(tcpServer);
    if (!startListener(tcpServer, serverPort, &error)) {
        QMessageBox::critical(this, Net::boxTitle(), tr("Unable to start the server: %1.").arg(error),
                              QMessageBox::Ok);
        close();
        return;
    }

    httpServer = new QTcpServer(this);
    // Connected by signature: the slot is looked up by its name at run time.
    connect(httpServer, SIGNAL(newConnection()), this, SLOT(httpNewConnection()));
    keepAccepting(httpServer);
    if (!startListener(httpServer, httpPort, &error))
        qDebug() << tr("[-] Unable to start HTTP server: %1.").arg(error);
    else
        qDebug() << tr("[+] http start!");

    const QString address = Net::statusAddress(QNetworkInterface::allAddresses());
    statusLabel->setText(tr("The APIB is running IP: %1 port: %2").arg(address).arg(tcpServer->serverPort())
                         + QLatin1Char('\n')
                         + tr("The HTTP is running IP: %1 port: %2").arg(address).arg(httpServer->serverPort()));
}

// Listens on all addresses; on failure *error says why, in the listener's words.
bool Server::startListener(QTcpServer *listener, int port, QString *error)
{
    if (!Net::portInRange(port)) {
        *error = tr("port %1 is out of range").arg(port);
        return false;
    }
    if (listener->listen(QHostAddress::Any, quint16(port))) {
        // Listening again on a listening socket only sets its backlog.
        ::listen(int(listener->socketDescriptor()), Net::ListenBacklog);
        return true;
    }
    *error = listener->errorString();
    return false;
}
