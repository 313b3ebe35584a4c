#include "provisioning.h"
#include "server.h"

#include "crypto/aescipher.h"
#include "crypto/machineidentity.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkInterface>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <QtDebug>

namespace Provisioning {

QUrl configUrl(const QString &host, const QString &identity)
{
    return QUrl(QStringLiteral("http://") + host + ConfigPath + identity, QUrl::TolerantMode);
}

QByteArray requestDocument()
{
    QJsonObject object;
    object.insert(QStringLiteral("item1"), QStringLiteral("value1"));
    object.insert(QStringLiteral("item2"), QStringLiteral("value2"));
    return QJsonDocument(object).toJson();
}

QByteArray requestBody(const AesCipher &aes)
{
    return aes.encrypt(requestDocument()).toBase64();
}

QStringList cipherSettingProblems(const QString &appKey1, const QByteArray &cipherKey)
{
    QStringList problems;
    if (appKey1.size() < IvCharacters)
        problems << QStringLiteral("[e] app/key1 must hold %1 characters, got %2")
                        .arg(IvCharacters)
                        .arg(appKey1.size());
    if (cipherKey.size() != KeyBytes)
        problems << QStringLiteral("[e] app/key2 must hold %1 bytes (base64), got %2")
                        .arg(KeyBytes)
                        .arg(cipherKey.size());
    return problems;
}

} // namespace Provisioning

QString hardwareAddressList()
{
    QStringList addresses;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &networkInterface : interfaces)
        addresses << networkInterface.hardwareAddress();
    const QString list = joinHardwareAddresses(addresses);
    qDebug() << "GetMACListB64>" << list;
    return list;
}

QString machineIdentity()
{
    return identityOfAddressList(hardwareAddressList());
}

void Server::testCipher()
{
    using namespace Provisioning;
    const QString ivText = config.appKey1.left(IvCharacters);
    aes = new AesCipher(AesCipher::CBC, config.cipherKey, ivText.toLatin1());

    // Unusable settings are named here; the self-test still runs, and the cipher
    // object refuses, so its cipher and result lines come out empty.
    const QStringList problems = cipherSettingProblems(config.appKey1, config.cipherKey);
    for (const QString &problem : problems)
        qWarning().noquote() << problem;

    qDebug() << "iv[1]:" << ivText;
    qDebug() << "key[2]:" << config.cipherKey.toBase64();
    qDebug() << "plain:" << SelfTestPlain;
    const QByteArray cipherText = aes->encrypt(SelfTestPlain).toBase64();
    qDebug() << "cipher:" << cipherText;
    qDebug() << "result:" << aes->decrypt(QByteArray::fromBase64(cipherText));
}

void Server::requestConfig()
{
    using namespace Provisioning;
    if (config.configHost.isEmpty())
        return; // no provisioning server: nothing to ask
    const QString identity = machineIdentity();
    if (!cipherSettingProblems(config.appKey1, config.cipherKey).isEmpty()) {
        qWarning() << "[e] provisioning request skipped: app/key1 or app/key2 unusable";
        return;
    }

    QNetworkRequest request(configUrl(config.configHost, identity));
    request.setHeader(QNetworkRequest::ContentTypeHeader, ContentType);
    request.setHeader(QNetworkRequest::UserAgentHeader, UserAgent);

    QNetworkAccessManager manager; // for this one request; it takes the reply with it
    QNetworkReply *reply = manager.post(request, requestBody(*aes));

    // A local loop sleeps until the reply finishes or the time limit passes.
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer); // a coarse timer may end the wait up to 5% early
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(limits.provisioningReplyMs);
    if (!reply->isFinished())
        loop.exec();

    if (!reply->isFinished()) {
        reply->abort();
        reply->deleteLater();
        if (!terminating) // else a termination signal ended the wait
            qWarning() << "[e] provisioning request timed out";
        return;
    }
    const QJsonDocument answer = QJsonDocument::fromJson(reply->readAll());
    reply->deleteLater();
    qDebug() << answer;
}
