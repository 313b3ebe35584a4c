#ifndef ADDRESSBLOCKS_H
#define ADDRESSBLOCKS_H

#include <QHostAddress>
#include <QString>
#include <QVector>

#include <optional>

// Addresses as the settings name them: lists of blocks of trusted peers, the
// address a listener binds, the key a per-address throttle counts under.
//
// A listener on QHostAddress::Any is dual-stack, and QTcpSocket::peerAddress()
// then reports an IPv4 peer as IPv4-mapped IPv6 (::ffff:127.0.0.2, protocol
// IPv6). Everything here takes such an address as the IPv4 address it carries.
namespace Net {

// ---- Literals --------------------------------------------------------------
// An IP address written out in full, nothing else: IPv4 as exactly four
// decimal numbers 0..255 without leading zeros; IPv6 as hex groups and colons
// (with at most one "::" and an optional trailing dotted quad), without a zone.
// QHostAddress alone would also take "127.1", "0x7f.1" and "010.0.0.1" (as
// 8.0.0.1), which in a list of trusted peers would trust something else.
std::optional<QHostAddress> parseAddress(const QString &text);

// The IPv4 address an IPv4-mapped IPv6 address carries; any other address as it is.
QHostAddress unmapped(const QHostAddress &address);

// ---- Blocks ----------------------------------------------------------------
class AddressBlocks
{
public:
    // A comma-separated list of blocks ("10.0.0.0/8") and single addresses
    // ("192.168.1.7", "::1"), blanks around entries ignored; an empty list
    // holds nothing. A prefix with bits set after it ("10.1.0.0/8") is refused
    // rather than widened: it is a typing error, and the wider block would
    // trust more than meant. On a refusal, *why names the entry.
    static std::optional<AddressBlocks> parse(const QString &list, QString *why);

    // IPv4 blocks hold IPv4 peers and IPv4-mapped ones; IPv6 blocks hold other
    // IPv6 peers. A mapped entry ("::ffff:10.0.0.0/104") is its IPv4 block.
    bool contains(const QHostAddress &address) const;
    bool isEmpty() const { return m_blocks.isEmpty(); }

private:
    struct Block
    {
        bool v4 = false;
        Q_IPV6ADDR bytes {}; // v4: the first four bytes
        int prefix = 0;      // bits
    };
    QVector<Block> m_blocks;
};

// ---- Keys and listeners ----------------------------------------------------
// What a per-address limit counts under: an IPv4 address itself (mapped ones
// unmapped), "a.b.c.d"; for IPv6 its /64, "2001:db8:1:2::/64", since one
// subscriber is usually handed a whole /64. Empty for a null address.
QString clientKey(const QHostAddress &address);

// The address a listener binds: empty (or blanks) is QHostAddress::Any, both
// IPv4 and IPv6; otherwise an IPv4 or IPv6 literal as parseAddress takes it
// ("::" binds IPv6 alone, "0.0.0.0" IPv4 alone). Anything else is refused with
// a reason for the caller to put after its setting's key.
std::optional<QHostAddress> bindAddress(const QString &text, QString *why);

} // namespace Net

#endif // ADDRESSBLOCKS_H
