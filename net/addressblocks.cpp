#include "addressblocks.h"

#include <algorithm>

namespace Net {

namespace {

constexpr int IPv4Bits = 32;
constexpr int IPv6Bits = 128;
// An IPv4-mapped IPv6 address is ::ffff:0:0/96 with the IPv4 address after.
constexpr int MappedPrefixBits = 96;
// The part of an IPv6 address one subscriber is usually given.
constexpr int ClientKeyBits = 64;

bool isDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool isHexDigit(QChar c)
{
    return isDigit(c) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))
        || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

// A decimal number from 0 to max with no leading zero, or nothing.
std::optional<int> decimal(const QString &text, int max)
{
    if (text.isEmpty() || text.size() > QString::number(max).size()
        || (text.size() > 1 && text.front() == QLatin1Char('0'))
        || !std::all_of(text.begin(), text.end(), isDigit))
        return {};
    const int value = text.toInt();
    return value <= max ? std::optional<int>(value) : std::nullopt;
}

std::optional<quint32> dottedQuad(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return {};
    quint32 value = 0;
    for (const QString &part : parts) {
        const std::optional<int> byte = decimal(part, 255);
        if (!byte)
            return {};
        value = value << 8 | quint32(*byte);
    }
    return value;
}

// Hex groups and colons, a dotted quad only after the last colon; the rest
// (group sizes, the one "::", 128 bits in all) QHostAddress checks strictly.
bool ipv6Shaped(const QString &text)
{
    const int lastColon = text.lastIndexOf(QLatin1Char(':'));
    if (lastColon < 0)
        return false;
    const QString tail = text.mid(lastColon + 1);
    const bool quadTail = tail.contains(QLatin1Char('.'));
    if (quadTail && !dottedQuad(tail))
        return false;
    const QString groups = quadTail ? text.left(lastColon + 1) : text;
    return std::all_of(
        groups.begin(), groups.end(), [](QChar c) { return isHexDigit(c) || c == QLatin1Char(':'); });
}

bool isMapped(const Q_IPV6ADDR &bytes)
{
    return std::all_of(bytes.c, bytes.c + 10, [](quint8 b) { return b == 0; }) && bytes[10] == 0xff
        && bytes[11] == 0xff;
}

Q_IPV6ADDR ipv4Bytes(quint32 address)
{
    Q_IPV6ADDR bytes {};
    for (int i = 0; i < 4; ++i)
        bytes[i] = quint8(address >> (24 - 8 * i));
    return bytes;
}

// Whether a and b agree in their first bits.
bool samePrefix(const Q_IPV6ADDR &a, const Q_IPV6ADDR &b, int bits)
{
    const int whole = bits / 8;
    if (!std::equal(a.c, a.c + whole, b.c))
        return false;
    const int rest = bits % 8;
    const quint8 mask = quint8(0xff << (8 - rest));
    return rest == 0 || ((a[whole] ^ b[whole]) & mask) == 0;
}

// The address with every bit after the first bits cleared.
Q_IPV6ADDR masked(Q_IPV6ADDR bytes, int bits)
{
    for (int i = 0; i < 16; ++i) {
        const int keep = qBound(0, bits - 8 * i, 8);
        bytes[i] &= quint8(0xff00 >> keep);
    }
    return bytes;
}

} // namespace

std::optional<QHostAddress> parseAddress(const QString &text)
{
    if (const std::optional<quint32> v4 = dottedQuad(text))
        return QHostAddress(*v4);
    QHostAddress address;
    if (!ipv6Shaped(text) || !address.setAddress(text) || address.protocol() != QAbstractSocket::IPv6Protocol)
        return {};
    return address;
}

QHostAddress unmapped(const QHostAddress &address)
{
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address;
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    if (!isMapped(bytes))
        return address;
    return QHostAddress(
        quint32(bytes[12]) << 24 | quint32(bytes[13]) << 16 | quint32(bytes[14]) << 8 | bytes[15]);
}

std::optional<AddressBlocks> AddressBlocks::parse(const QString &list, QString *why)
{
    AddressBlocks blocks;
    if (list.trimmed().isEmpty())
        return blocks;
    for (const QString &rawEntry : list.split(QLatin1Char(','))) {
        const QString entry = rawEntry.trimmed();
        const auto refuse = [&](const QString &reason) {
            if (why)
                *why = reason;
            return std::nullopt;
        };
        if (entry.isEmpty())
            return refuse(QStringLiteral("an empty entry in '%1'").arg(list));
        const int slash = entry.indexOf(QLatin1Char('/'));
        const std::optional<QHostAddress> address = parseAddress(slash < 0 ? entry : entry.left(slash));
        if (!address)
            return refuse(QStringLiteral("'%1' is not an IP address or block").arg(entry));

        Block block;
        block.v4 = address->protocol() == QAbstractSocket::IPv4Protocol;
        const int bits = block.v4 ? IPv4Bits : IPv6Bits;
        const std::optional<int> prefix = slash < 0 ? bits : decimal(entry.mid(slash + 1), bits);
        if (!prefix)
            return refuse(
                QStringLiteral("'%1': the prefix length is not a number from 0 to %2").arg(entry).arg(bits));
        block.prefix = *prefix;
        block.bytes = block.v4 ? ipv4Bytes(address->toIPv4Address()) : address->toIPv6Address();
        if (!block.v4 && isMapped(block.bytes) && block.prefix >= MappedPrefixBits) {
            block.v4 = true;
            block.prefix -= MappedPrefixBits;
            block.bytes = ipv4Bytes(unmapped(*address).toIPv4Address());
        }
        if (!samePrefix(block.bytes, masked(block.bytes, block.prefix), IPv6Bits))
            return refuse(QStringLiteral("'%1' has bits set after its prefix").arg(entry));
        blocks.m_blocks.append(block);
    }
    return blocks;
}

bool AddressBlocks::contains(const QHostAddress &address) const
{
    const QHostAddress peer = unmapped(address);
    const bool v4 = peer.protocol() == QAbstractSocket::IPv4Protocol;
    if (!v4 && peer.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    const Q_IPV6ADDR bytes = v4 ? ipv4Bytes(peer.toIPv4Address()) : peer.toIPv6Address();
    return std::any_of(m_blocks.begin(), m_blocks.end(),
        [&](const Block &b) { return b.v4 == v4 && samePrefix(b.bytes, bytes, b.prefix); });
}

QString clientKey(const QHostAddress &address)
{
    const QHostAddress peer = unmapped(address);
    if (peer.protocol() == QAbstractSocket::IPv4Protocol)
        return peer.toString();
    if (peer.protocol() != QAbstractSocket::IPv6Protocol)
        return QString();
    return QHostAddress(masked(peer.toIPv6Address(), ClientKeyBits)).toString()
        + QStringLiteral("/%1").arg(ClientKeyBits);
}

std::optional<QHostAddress> bindAddress(const QString &text, QString *why)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return QHostAddress(QHostAddress::Any);
    if (const std::optional<QHostAddress> address = parseAddress(trimmed))
        return unmapped(*address);
    if (why)
        *why = QStringLiteral("'%1' is not an IP address").arg(trimmed);
    return {};
}

} // namespace Net
