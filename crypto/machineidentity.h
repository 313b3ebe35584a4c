#ifndef MACHINEIDENTITY_H
#define MACHINEIDENTITY_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// The machine's identity for the provisioning request: an MD5 digest over its
// network adapters' hardware addresses, so the addresses themselves are not
// sent. Stable while the set and order of the interfaces stay the same.

// Joins, with ",", those address texts that have exactly 17 characters (the
// text of a 6-byte address), in the given order. Duplicates stay.
QString joinHardwareAddresses(const QStringList &addressTexts);

// The identity of an already joined address list: md5Hex of the base64 text of
// its UTF-8 bytes.
QString identityOfAddressList(const QString &addressList);

// The joined list of this machine's interfaces, in the order
// QNetworkInterface::allInterfaces() gives; prints "GetMACListB64>" and the list.
QString hardwareAddressList();

// MD5 of the bytes as 32 lower-case hex digits.
QString md5Hex(const QByteArray &bytes);

// identityOfAddressList(hardwareAddressList()): 32 lower-case hex digits.
QString machineIdentity();

#endif // MACHINEIDENTITY_H
