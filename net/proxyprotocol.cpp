#include "proxyprotocol.h"
#include "addressblocks.h"

#include <QList>
#include <QtEndian>

#include <algorithm>

namespace Proxy {

namespace {

const QByteArray V1Prefix = QByteArrayLiteral("PROXY ");
// Holds a NUL, so it is never handled as a C string.
const QByteArray V2Signature("\x0D\x0A\x0D\x0A\x00\x0D\x0A\x51\x55\x49\x54\x0A", 12);

// ---- Version 1 ----------------------------------------------------------------
const QByteArray Tcp4 = QByteArrayLiteral("TCP4");
const QByteArray Tcp6 = QByteArrayLiteral("TCP6");
const QByteArray UnknownProtocol = QByteArrayLiteral("UNKNOWN");
// "PROXY", the protocol, two addresses, two ports.
constexpr int V1Fields = 6;
constexpr int MaxPort = 65535;
constexpr int MaxIPv4Byte = 255;
// The longest IPv6 text: six hex groups and a dotted quad.
constexpr int MaxIPv6Text = 45;
constexpr int IPv6MaxColons = 8;

// ---- Version 2 ----------------------------------------------------------------
constexpr int VersionCommandAt = 12;
constexpr int FamilyAt = 13;
constexpr int LengthAt = 14;
constexpr int Version2 = 0x2;
constexpr int CommandLocal = 0x0;
constexpr int CommandProxy = 0x1;
// Family (high nibble) and transport (low nibble), as one byte.
constexpr quint8 Unspecified = 0x00;
constexpr quint8 TcpOverIPv4 = 0x11;
constexpr quint8 UdpOverIPv4 = 0x12;
constexpr quint8 TcpOverIPv6 = 0x21;
constexpr quint8 UdpOverIPv6 = 0x22;
constexpr quint8 UnixStream = 0x31;
constexpr quint8 UnixDatagram = 0x32;
// Two addresses, then two ports.
constexpr int IPv4AddressBytes = 2 * 4 + 2 * 2;
constexpr int IPv6AddressBytes = 2 * 16 + 2 * 2;
// A TLV's type byte and its 16-bit length.
constexpr int TlvHeaderBytes = 3;

const QString NotAHeader = QStringLiteral("not a PROXY header");
const QString V1ProtocolUnknown = QStringLiteral("PROXY v1 protocol is not TCP4, TCP6 or UNKNOWN");
const QString V2TlvPastEnd = QStringLiteral("PROXY v2 TLV runs past the header");

Parsed bad(const QString &why)
{
    Parsed parsed;
    parsed.status = Status::Bad;
    parsed.why = why;
    return parsed;
}

Parsed done(int consumed, const Header &header)
{
    Parsed parsed;
    parsed.status = Status::Done;
    parsed.consumed = consumed;
    parsed.header = header;
    return parsed;
}

// Whether bytes and pattern agree as far as both go.
bool agrees(const QByteArray &bytes, const QByteArray &pattern)
{
    return pattern.startsWith(bytes.left(pattern.size()));
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether text begins a decimal number from 0 to max without a leading zero
// (the empty text does).
bool decimalBeginning(const QByteArray &text, int max)
{
    if (!std::all_of(text.begin(), text.end(), isDigit) || (text.size() > 1 && text.front() == '0')
        || text.size() > QByteArray::number(max).size())
        return false;
    return text.isEmpty() || text.toInt() <= max;
}

bool ipv4Beginning(const QByteArray &text)
{
    const QList<QByteArray> parts = text.split('.');
    if (parts.size() > 4)
        return false;
    for (int i = 0; i < parts.size(); ++i)
        if ((parts[i].isEmpty() && i + 1 < parts.size()) || !decimalBeginning(parts[i], MaxIPv4Byte))
            return false;
    return true;
}

// Hex groups of at most four digits between colons, one "::" at most, a
// dotted quad only after a colon. Looser than the whole address's check,
// which QHostAddress makes once the field is complete.
bool ipv6Beginning(const QByteArray &text)
{
    if (text.size() > MaxIPv6Text || text.count(':') > IPv6MaxColons
        || text.indexOf("::") != text.lastIndexOf("::")
        || (text.startsWith(':') && text.size() > 1 && text[1] != ':'))
        return false;
    const int lastColon = text.lastIndexOf(':');
    const QByteArray tail = text.mid(lastColon + 1);
    if (tail.contains('.') && (lastColon < 0 || !ipv4Beginning(tail)))
        return false;
    const QList<QByteArray> groups = text.left(tail.contains('.') ? lastColon : text.size()).split(':');
    return std::all_of(groups.begin(), groups.end(), [](const QByteArray &group) {
        return group.size() <= 4 && std::all_of(group.begin(), group.end(), isHexDigit);
    });
}

// Whether a field can still become (complete false) or is (complete true) an
// address of the line's family or a port; a complete address goes to *address.
bool fieldFits(const QByteArray &text, bool isAddress, bool v6, bool complete, QHostAddress *address)
{
    if (!isAddress)
        return decimalBeginning(text, MaxPort) && !(complete && text.isEmpty());
    if (!(v6 ? ipv6Beginning(text) : ipv4Beginning(text)))
        return false;
    if (!complete)
        return true;
    const std::optional<QHostAddress> parsed = Net::parseAddress(QString::fromLatin1(text));
    const auto family = v6 ? QAbstractSocket::IPv6Protocol : QAbstractSocket::IPv4Protocol;
    if (!parsed || parsed->protocol() != family)
        return false;
    *address = *parsed;
    return true;
}

// bytes begin with "PROXY ".
Parsed parseV1(const QByteArray &bytes)
{
    // The line ends at its first CR, which a LF must follow, with room for
    // both within V1MaxBytes.
    const int searched = qMin(bytes.size(), V1MaxBytes - 1);
    int cr = -1;
    for (int i = 0; i < searched && cr < 0; ++i) {
        if (bytes[i] == '\n')
            return bad(QStringLiteral("PROXY v1 line ends in a LF without a CR"));
        if (bytes[i] == '\r')
            cr = i;
    }
    if (cr < 0 && bytes.size() >= V1MaxBytes - 1)
        return bad(QStringLiteral("PROXY v1 line longer than %1 bytes").arg(V1MaxBytes));
    if (cr >= 0 && cr + 1 < bytes.size() && bytes[cr + 1] != '\n')
        return bad(QStringLiteral("PROXY v1 line ends in a CR without a LF"));
    const bool lineComplete = cr >= 0;
    const bool headerComplete = lineComplete && cr + 1 < bytes.size();

    const QList<QByteArray> fields = (lineComplete ? bytes.left(cr) : bytes).split(' ');
    const QByteArray &protocol = fields[1];
    if (fields.size() == 2 && !lineComplete) {
        const bool begins
            = Tcp4.startsWith(protocol) || Tcp6.startsWith(protocol) || UnknownProtocol.startsWith(protocol);
        return begins ? Parsed() : bad(V1ProtocolUnknown);
    }
    Header header;
    header.version = 1;
    if (protocol == UnknownProtocol) // the rest of the line is the sender's, and ignored
        return headerComplete ? done(cr + 2, header) : Parsed();
    if (protocol != Tcp4 && protocol != Tcp6)
        return bad(V1ProtocolUnknown);

    QHostAddress addresses[2];
    for (int i = 2; i < fields.size(); ++i) {
        const bool complete = i + 1 < fields.size() || lineComplete;
        if (complete && fields[i].isEmpty())
            return bad(QStringLiteral("PROXY v1 fields not separated by single spaces"));
        if (i >= V1Fields)
            return bad(QStringLiteral("PROXY v1 line has more than %1 fields").arg(V1Fields));
        const bool isAddress = i < 4;
        if (!fieldFits(fields[i], isAddress, protocol == Tcp6, complete, &addresses[i % 2]))
            return bad(isAddress ? QStringLiteral("PROXY v1 address malformed or not of its family")
                                 : QStringLiteral("PROXY v1 port malformed"));
    }
    if (lineComplete && fields.size() < V1Fields)
        return bad(QStringLiteral("PROXY v1 line has fewer than %1 fields").arg(V1Fields));
    if (!headerComplete)
        return Parsed();
    header.kind = Header::Kind::Proxy;
    header.source = addresses[0];
    header.destination = addresses[1];
    header.sourcePort = quint16(fields[4].toUInt());
    header.destinationPort = quint16(fields[5].toUInt());
    return done(cr + 2, header);
}

// bytes begin with the signature, or with a beginning of it.
Parsed parseV2(const QByteArray &bytes)
{
    if (bytes.size() <= VersionCommandAt)
        return Parsed();
    const int versionCommand = quint8(bytes[VersionCommandAt]);
    if (versionCommand >> 4 != Version2)
        return bad(QStringLiteral("PROXY v2 version is not 2"));
    const int command = versionCommand & 0xf;
    if (command != CommandLocal && command != CommandProxy)
        return bad(QStringLiteral("PROXY v2 command is neither LOCAL nor PROXY"));
    if (bytes.size() <= FamilyAt)
        return Parsed();

    Header header;
    header.version = 2;
    int addressBytes = 0;
    if (command == CommandLocal) {
        header.kind = Header::Kind::Local;
    } else {
        switch (quint8(bytes[FamilyAt])) {
        case TcpOverIPv4:
            header.kind = Header::Kind::Proxy;
            addressBytes = IPv4AddressBytes;
            break;
        case TcpOverIPv6:
            header.kind = Header::Kind::Proxy;
            addressBytes = IPv6AddressBytes;
            break;
        case Unspecified:
        case UnixStream:
            header.kind = Header::Kind::Unknown;
            break;
        case UdpOverIPv4:
        case UdpOverIPv6:
        case UnixDatagram:
            return bad(QStringLiteral("PROXY v2 carries a datagram connection, not a stream"));
        default:
            return bad(QStringLiteral("PROXY v2 family and transport unknown"));
        }
    }

    const QString tooLong = QStringLiteral("PROXY v2 length over %1 bytes").arg(V2MaxLength);
    if (bytes.size() <= LengthAt)
        return Parsed();
    if ((quint8(bytes[LengthAt]) << 8) > V2MaxLength)
        return bad(tooLong);
    if (bytes.size() < V2FixedBytes)
        return Parsed();
    const int length = qFromBigEndian<quint16>(bytes.constData() + LengthAt);
    if (length > V2MaxLength)
        return bad(tooLong);
    if (length < addressBytes)
        return bad(QStringLiteral("PROXY v2 length too short for its addresses"));
    const int end = V2FixedBytes + length;
    // The TLVs after the addresses must fill the length exactly; each is
    // judged as soon as its own length has arrived.
    for (int at = V2FixedBytes + addressBytes; header.kind == Header::Kind::Proxy && at < end;) {
        if (at + TlvHeaderBytes > end)
            return bad(V2TlvPastEnd);
        if (at + TlvHeaderBytes > bytes.size())
            break;
        at += TlvHeaderBytes + qFromBigEndian<quint16>(bytes.constData() + at + 1);
        if (at > end)
            return bad(V2TlvPastEnd);
    }
    if (bytes.size() < end)
        return Parsed();

    const char *addresses = bytes.constData() + V2FixedBytes;
    if (addressBytes == IPv4AddressBytes) {
        header.source = QHostAddress(qFromBigEndian<quint32>(addresses));
        header.destination = QHostAddress(qFromBigEndian<quint32>(addresses + 4));
    } else if (addressBytes == IPv6AddressBytes) {
        header.source = QHostAddress(reinterpret_cast<const quint8 *>(addresses));
        header.destination = QHostAddress(reinterpret_cast<const quint8 *>(addresses + 16));
    }
    if (addressBytes > 0) {
        header.sourcePort = qFromBigEndian<quint16>(addresses + addressBytes - 4);
        header.destinationPort = qFromBigEndian<quint16>(addresses + addressBytes - 2);
    }
    return done(end, header);
}

} // namespace

Parsed parse(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return Parsed();
    if (bytes.front() == V1Prefix.front()) {
        if (!agrees(bytes, V1Prefix))
            return bad(NotAHeader);
        return bytes.size() < V1Prefix.size() ? Parsed() : parseV1(bytes);
    }
    return agrees(bytes, V2Signature) ? parseV2(bytes) : bad(NotAHeader);
}

bool startsLikeHeader(const QByteArray &bytes)
{
    return bytes.startsWith(V1Prefix) || (!bytes.isEmpty() && agrees(bytes, V2Signature));
}

} // namespace Proxy
