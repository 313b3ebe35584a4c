#include "machineidentity.h"

#include <QCryptographicHash>

namespace {
// "00:11:22:33:44:55": the text of a 6-byte hardware address. Loopback (empty)
// and longer tunnel addresses are left out.
constexpr int HardwareAddressTextLength = 17;
} // namespace

QString joinHardwareAddresses(const QStringList &addressTexts)
{
    QStringList kept;
    for (const QString &text : addressTexts) {
        if (text.size() == HardwareAddressTextLength)
            kept << text;
    }
    return kept.join(QLatin1Char(','));
}

QString identityOfAddressList(const QString &addressList)
{
    return md5Hex(addressList.toUtf8().toBase64());
}

QString md5Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}
