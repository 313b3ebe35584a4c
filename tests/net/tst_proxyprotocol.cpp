#include "net/addressblocks.h"
#include "net/proxyprotocol.h"
#include "support/testsupport.h"

#include <QtTest>

namespace {

// A reading as one line, compared whole: "more", "bad: <why>", or "done <consumed> v<version> <kind>",
// for a relayed connection followed by "<source> <port> <destination> <port>".
QString reading(const Proxy::Parsed &parsed)
{
    if (parsed.status != Proxy::Status::Done)
        return parsed.status == Proxy::Status::Bad ? "bad: " + parsed.why : QStringLiteral("more");
    const Proxy::Header &h = parsed.header;
    const QString text = QStringLiteral("done %1 v%2 %3").arg(parsed.consumed).arg(h.version)
                             .arg(QStringList {"proxy", "local", "unknown"}.at(int(h.kind)));
    return h.kind != Proxy::Header::Kind::Proxy ? text : text + QStringLiteral(" %1 %2 %3 %4").arg(h.source.toString())
                             .arg(h.sourcePort).arg(h.destination.toString()).arg(h.destinationPort);
}

} // namespace

class tst_ProxyProtocol : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void addressBlocks_data();
    void addressBlocks();
    void addressText_data();
    void addressText();
};

void tst_ProxyProtocol::parse_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    const QByteArray unknown = "PROXY UNKNOWN ";
#define ROW(tag, bytes, expected) QTest::newRow(tag) << QByteArray(bytes) << QStringLiteral(expected)
#define V2(hex) hexBytes("0D0A0D0A 000D0A51 5549540A " hex)
    ROW("v1_longest_line",         unknown + QByteArray(91, 'x') + "\r\n", "done 107 v1 unknown");
    ROW("v1_line_of_108",          unknown + QByteArray(92, 'x') + "\r\n", "bad: PROXY v1 line longer than 107 bytes");
    ROW("v1_105_without_crlf",     unknown + QByteArray(91, 'x'), "more");
    ROW("v1_106_without_cr",       unknown + QByteArray(92, 'x'), "bad: PROXY v1 line longer than 107 bytes");
    ROW("v1_unknown_short_form",   "PROXY UNKNOWN\r\nGET", "done 15 v1 unknown");
    ROW("v1_tcp4_haproxy",         "PROXY TCP4 127.0.0.2 127.0.0.1 38887 21011\r\nGET", "done 44 v1 proxy 127.0.0.2 38887 127.0.0.1 21011");
    ROW("v1_tcp6_mapped",          "PROXY TCP6 ::ffff:10.0.0.1 ::1 1 2\r\n", "done 36 v1 proxy ::ffff:10.0.0.1 1 ::1 2");
    ROW("v1_lone_lf",              "PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n", "bad: PROXY v1 line ends in a LF without a CR");
    ROW("v1_lone_cr",              "PROXY TCP4 1.2.3.4 5.6.7.8 1 2\rG", "bad: PROXY v1 line ends in a CR without a LF");
    ROW("v1_double_space",         "PROXY TCP4 1.2.3.4  5.6.7.8 1 2\r\n", "bad: PROXY v1 fields not separated by single spaces");
    ROW("v1_leading_zero_address", "PROXY TCP4 01.2.3.4 5.6.7.8 1 2\r\n", "bad: PROXY v1 address malformed or not of its family");
    ROW("v1_ipv6_in_tcp4",         "PROXY TCP4 ::1 ::1 1 2\r\n", "bad: PROXY v1 address malformed or not of its family");
    ROW("v1_short_ipv4",           "PROXY TCP4 127.1 5.6.7.8 1 2\r\n", "bad: PROXY v1 address malformed or not of its family");
    ROW("v1_port_65536",           "PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n", "bad: PROXY v1 port malformed");
    ROW("v1_port_leading_zero",    "PROXY TCP4 1.2.3.4 5.6.7.8 01 2\r\n", "bad: PROXY v1 port malformed");
    ROW("v1_udp4",                 "PROXY UDP4 1.2.3.4 5.6.7.8 1 2\r\n", "bad: PROXY v1 protocol is not TCP4, TCP6 or UNKNOWN");
    ROW("v1_seven_fields",         "PROXY TCP4 1.2.3.4 5.6.7.8 1 2 3\r\n", "bad: PROXY v1 line has more than 6 fields");
    ROW("v1_five_fields",          "PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n", "bad: PROXY v1 line has fewer than 6 fields");
    ROW("http_request",            "GET / HTTP/1.1\r\n", "bad: not a PROXY header");
    ROW("v2_version_1",            V2("11"), "bad: PROXY v2 version is not 2");
    ROW("v2_command_2",            V2("22"), "bad: PROXY v2 command is neither LOCAL nor PROXY");
    ROW("v2_udp_over_ipv4",        V2("2112000C"), "bad: PROXY v2 carries a datagram connection, not a stream");
    ROW("v2_family_4",             V2("2141"), "bad: PROXY v2 family and transport unknown");
    ROW("v2_proxy_unspec",         V2("21000000 474554"), "done 16 v2 unknown");
    ROW("v2_unix_stream",          V2("213100D8") + QByteArray(216, 'u'), "done 232 v2 unknown");
    ROW("v2_length_2048_waits",    V2("21110800"), "more");
    ROW("v2_length_2049",          V2("21110801"), "bad: PROXY v2 length over 2048 bytes");
    ROW("v2_ipv6_in_12_bytes",     V2("2121000C"), "bad: PROXY v2 length too short for its addresses");
    ROW("v2_local",                V2("20000000 474554"), "done 16 v2 local");
    ROW("v2_tcp6_haproxy",         V2("21210024") + QByteArray(15, 0) + '\1' + QByteArray(15, 0) + '\1' + hexBytes("95D7 5214 474554"),
                                   "done 52 v2 proxy ::1 38359 ::1 21012");
    ROW("v2_noop_tlv",             V2("21110010 7F000001 0A000001 00010002 040001 00"), "done 32 v2 proxy 127.0.0.1 1 10.0.0.1 2");
    ROW("v2_tlv_past_length",      V2("21110010 7F000001 0A000001 00010002 040002"), "bad: PROXY v2 TLV runs past the header");
    ROW("v2_tlv_stub",             V2("2111000E 7F000001 0A000001 00010002"), "bad: PROXY v2 TLV runs past the header");
#undef V2
#undef ROW
}

void tst_ProxyProtocol::parse()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    const Proxy::Parsed parsed = Proxy::parse(bytes);
    QCOMPARE(reading(parsed), expected);
    // Every row is long enough to tell: only what is no header at all looks unlike one.
    QCOMPARE(Proxy::startsLikeHeader(bytes), expected != "bad: not a PROXY header");
    const QByteArray header = bytes.left(parsed.consumed);
    // A second header after the first is the connection's own first bytes.
    QCOMPARE(Proxy::parse(header + header).consumed, parsed.consumed);
    // A byte at a time it needs more until the last. A byte no header has at its place is Bad at once: in a v1
    // line that relays addresses anywhere, after UNKNOWN nowhere; in v2's fixed part, but for the family LOCAL
    // ignores and a length only relayed addresses bound.
    const bool v1 = header.startsWith("PROXY "), relayed = parsed.header.kind == Proxy::Header::Kind::Proxy;
    for (int k = 0; k < parsed.consumed; ++k) {
        QCOMPARE(reading(Proxy::parse(header.left(k))), QStringLiteral("more"));
        if (v1 ? relayed || k < 14
               : k < Proxy::V2FixedBytes && (k != 13 || parsed.header.kind != Proxy::Header::Kind::Local) && (k != 15 || relayed))
            QCOMPARE(Proxy::parse(header.left(k) + (k == 14 ? '\xff' : '\x01')).status, Proxy::Status::Bad);
    }
}

// The addresses a list of blocks holds and those it does not, or why it refuses the list.
void tst_ProxyProtocol::addressBlocks_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QStringList>("in");
    QTest::addColumn<QStringList>("out");
    QTest::addColumn<QString>("refused");
#define ROW(tag, list, in, out) QTest::newRow(tag) << QString(list) << QStringList in << QStringList out << QString()
#define REFUSED(tag, list, why) QTest::newRow(tag) << QString(list) << QStringList() << QStringList() << QString(why)
    const char *mixed = "10.0.0.0/8, 192.168.1.7, 2001:db8::/32, ::1";
    ROW("v4_block_and_single",      mixed, ({"10.200.3.4", "192.168.1.7"}), ({"11.0.0.1", "192.168.1.8"}));
    ROW("mapped_peer_in_v4_block",  mixed, ({"::ffff:10.1.2.3", "::ffff:192.168.1.7"}), ({"::ffff:11.0.0.1"}));
    ROW("v6_block_and_single",      mixed, ({"2001:db8:ffff::1", "::1"}), ({"2001:db9::1", "::2"}));
    ROW("v4_odd_prefix_edges",      "172.16.0.0/12", ({"172.31.255.255"}), ({"172.32.0.0"}));
    ROW("mapped_entry_is_v4",       "::ffff:10.0.0.0/104", ({"10.9.9.9"}), ());
    ROW("v6_all_holds_no_v4",       "::/0", (), ({"127.0.0.1"}));
    ROW("v4_all_holds_no_v6",       "0.0.0.0/0", (), ({"::1"}));
    ROW("empty_list",               "", (), ({"127.0.0.1"}));
    ROW("blanks_around_entries",    " 10.0.0.1 ,\t::1 ", ({"10.0.0.1", "::1"}), ());
    REFUSED("interface_name",       "10.0.0.0/8, eth0", "'eth0' is not an IP address or block");
    REFUSED("short_v4",             "127.1", "'127.1' is not an IP address or block");
    REFUSED("leading_zero_v4",      "010.0.0.1", "'010.0.0.1' is not an IP address or block");
    REFUSED("zone",                 "fe80::1%lo", "'fe80::1%lo' is not an IP address or block");
    REFUSED("v4_prefix_33",         "10.0.0.0/33", "'10.0.0.0/33': the prefix length is not a number from 0 to 32");
    REFUSED("v6_prefix_129",        "::/129", "'::/129': the prefix length is not a number from 0 to 128");
    REFUSED("bits_after_prefix",    "10.1.0.0/8", "'10.1.0.0/8' has bits set after its prefix");
    REFUSED("empty_entry",          "10.0.0.1,,::1", "an empty entry in '10.0.0.1,,::1'");
#undef REFUSED
#undef ROW
}

void tst_ProxyProtocol::addressBlocks()
{
    QFETCH(QString, list);
    QFETCH(QStringList, in);
    QFETCH(QStringList, out);
    QString why;
    const std::optional<Net::AddressBlocks> blocks = Net::AddressBlocks::parse(list, &why);
    QTEST(blocks ? QString() : why, "refused");
    for (const QString &address : in + out)
        QVERIFY2(blocks->contains(QHostAddress(address)) == in.contains(address), qPrintable(address));
}

// One address as text: the key a throttle counts it under, and what a listener given it binds ("any" for
// both families) or why it refuses it. A listener on Any is dual-stack: Qt reports an IPv4 peer of it mapped,
// as in mapped_v4.
void tst_ProxyProtocol::addressText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("bound");
    QTest::newRow("v4")          << "203.0.113.9" << "203.0.113.9" << "203.0.113.9";
    QTest::newRow("mapped_v4")   << "::ffff:203.0.113.9" << "203.0.113.9" << "203.0.113.9";
    QTest::newRow("v6_its_64")   << "2001:db8:1:2:3:4:5:6" << "2001:db8:1:2::/64" << "2001:db8:1:2:3:4:5:6";
    QTest::newRow("v6_loopback") << "::1" << "::/64" << "::1";
    QTest::newRow("blanks_v4")   << " 127.0.0.1 " << "127.0.0.1" << "127.0.0.1";
    QTest::newRow("empty")       << "" << "" << "any";
    QTest::newRow("interface")   << "eth0" << "" << "'eth0' is not an IP address";
    QTest::newRow("short_v4")    << "127.1" << "127.0.0.1" << "'127.1' is not an IP address";
}

void tst_ProxyProtocol::addressText()
{
    QFETCH(QString, text);
    QString why;
    const std::optional<QHostAddress> bound = Net::bindAddress(text, &why);
    QTEST(Net::clientKey(QHostAddress(text)), "key");
    QTEST(!bound ? why : *bound == QHostAddress::Any ? QStringLiteral("any") : bound->toString(), "bound");
}

QTEST_GUILESS_MAIN(tst_ProxyProtocol)
#include "tst_proxyprotocol.moc"
