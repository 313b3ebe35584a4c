#ifndef TLSLISTENER_H
#define TLSLISTENER_H

#include <QSslConfiguration>
#include <QString>
#include <QTcpServer>

// A listener whose connections speak TLS (1.2 or newer) with a certificate and
// key from PEM files. Its pending connections are QSslSockets that start the
// handshake at once; what they read and write is the plain text.
class TlsListener : public QTcpServer
{
    Q_OBJECT

public:
    explicit TlsListener(QObject *parent = nullptr);

    // Loads the certificate and its private key (PEM). On failure *error says
    // which file and why; the listener then must not be started.
    bool loadCredentials(const QString &certificatePath, const QString &keyPath, QString *error);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslConfiguration m_config; // every connection's, made once
};

#endif // TLSLISTENER_H
