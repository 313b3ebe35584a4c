#include "tlslistener.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

TlsListener::TlsListener(QObject *parent) : QTcpServer(parent)
{ }

bool TlsListener::loadCredentials(const QString &certificatePath, const QString &keyPath, QString *error)
{
    if (!QSslSocket::supportsSsl()) {
        *error = QStringLiteral("this Qt has no TLS support (no OpenSSL library found)");
        return false;
    }
    QFile certificateFile(certificatePath);
    if (!certificateFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the certificate %1: %2")
                     .arg(certificatePath, certificateFile.errorString());
        return false;
    }
    const QList<QSslCertificate> certificates = QSslCertificate::fromDevice(&certificateFile, QSsl::Pem);
    if (certificates.isEmpty() || certificates.first().isNull()) {
        *error = QStringLiteral("%1 holds no PEM certificate").arg(certificatePath);
        return false;
    }
    QFile keyFile(keyPath);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the key %1: %2").arg(keyPath, keyFile.errorString());
        return false;
    }
    const QByteArray pem = keyFile.readAll();
    QSslKey key(pem, QSsl::Rsa, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(pem, QSsl::Ec, QSsl::Pem);
    if (key.isNull()) {
        *error = QStringLiteral("%1 holds no unencrypted PEM RSA or EC private key").arg(keyPath);
        return false;
    }
    m_config = QSslConfiguration::defaultConfiguration();
    m_config.setProtocol(QSsl::TlsV1_2OrLater);
    m_config.setLocalCertificate(certificates.first());
    m_config.setPrivateKey(key);
    // Clients are not asked for certificates, so no authority is needed to
    // check one; an empty list also keeps Qt from loading the system's.
    m_config.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_config.setCaCertificates({});
    return true;
}

void TlsListener::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->setSslConfiguration(m_config);
    addPendingConnection(socket);
    socket->startServerEncryption();
}
