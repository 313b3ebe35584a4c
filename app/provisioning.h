#ifndef PROVISIONING_H
#define PROVISIONING_H

#include <QByteArray>
#include <QString>
#include <QStringList>

class AesCipher;
class QUrl;

// The start-up provisioning request: one POST of an encrypted JSON document to
// the provisioning server, with the machine identity in the URL.
namespace Provisioning {
inline const QString ConfigPath = QStringLiteral("/app/sqlconnector/getconfig?s=");
inline const QString ContentType = QStringLiteral("application/json");
inline const QString UserAgent = QStringLiteral("TOVR/MERK SQL Agent (checker)");
inline const QByteArray SelfTestPlain = QByteArrayLiteral("123123123");

// The wait for the answer ends here at the latest: start-up must not hang on a
// server that accepts and never answers.
constexpr int ReplyTimeoutMs = 10000;

// What the cipher settings must hold: app/key1 gives the 16-byte IV as its first
// 16 characters, app/key2 the 32-byte AES-256 key.
constexpr int IvCharacters = 16;
constexpr int KeyBytes = 32;

// "http://" + host (may carry ":port") + ConfigPath + identity, parsed tolerantly.
QUrl configUrl(const QString &host, const QString &identity);

// The document sent, {"item1":"value1","item2":"value2"}, as indented JSON in UTF-8.
QByteArray requestDocument();

// The request body: base64 (standard alphabet, padded) of the document encrypted by aes.
QByteArray requestBody(const AesCipher &aes);

// One "[e] ..." line per unusable cipher setting; empty when both are usable.
QStringList cipherSettingProblems(const QString &appKey1, const QByteArray &cipherKey);
} // namespace Provisioning

// The joined list of this machine's interfaces, in the order
// QNetworkInterface::allInterfaces() gives; prints "GetMACListB64>" and the list.
QString hardwareAddressList();

// identityOfAddressList(hardwareAddressList()): 32 lower-case hex digits.
QString machineIdentity();

#endif // PROVISIONING_H
