#ifndef MACHINEIDENTITY_H
#define MACHINEIDENTITY_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// The machine's identity for the provisioning request: an MD5 digest over its
// network adapters' hardware addresses, so the addresses themselves are not
// sent. Stable while the set and order of the interfaces stay the same. This
// machine's list is read by the provisioning code (app/provisioning.h).

// Joins, with ",", those address texts that have exactly 17 characters (the
// text of a 6-byte address), in the given order. Duplicates stay.
QString joinHardwareAddresses(const QStringList &addressTexts);

// The identity of an already joined address list: md5Hex of the base64 text of
// its UTF-8 bytes.
QString identityOfAddressList(const QString &addressList);

// MD5 of the bytes as 32 lower-case hex digits.
QString md5Hex(const QByteArray &bytes);

#endif // MACHINEIDENTITY_H
