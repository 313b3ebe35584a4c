#include "crypto/machineidentity.h"

#include <QtTest>

class tst_MachineIdentity : public QObject
{
    Q_OBJECT

private slots:
    void md5Hex_data();
    void md5Hex();
    void identityOfAddresses_data();
    void identityOfAddresses();
    void reversedOrderGivesAnotherIdentity();
};

void tst_MachineIdentity::md5Hex_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("digest");
    // RFC 1321 A.5
    QTest::newRow("rfc1321_empty") << QByteArray() << "d41d8cd98f00b204e9800998ecf8427e";
    QTest::newRow("rfc1321_abc") << QByteArray("abc") << "900150983cd24fb0d6963f7d28e17f72";
    QTest::newRow("base64_of_one_address") << QByteArray("MDA6MTE6MjI6MzM6NDQ6NTU=")
                                           << "8036ed32e5fbe68c1b80679a4a8d767b";
}

void tst_MachineIdentity::md5Hex()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, digest);
    QCOMPARE(::md5Hex(input), digest);
}

// Order: the interfaces' address texts, the joined list, the identity.
void tst_MachineIdentity::identityOfAddresses_data()
{
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("identity");
    const QString one = "00:11:22:33:44:55";
    const QString oneIdentity = "8036ed32e5fbe68c1b80679a4a8d767b";
    QTest::newRow("no_interfaces") << QStringList() << "" << "d41d8cd98f00b204e9800998ecf8427e";
    QTest::newRow("one_address") << QStringList{one} << one << oneIdentity;
    QTest::newRow("two_addresses") << QStringList{one, "0A:0B:0C:0D:0E:0F"}
                                   << "00:11:22:33:44:55,0A:0B:0C:0D:0E:0F"
                                   << "636f09047844b5e1b65531c2d0a35834";
    QTest::newRow("empty_loopback_left_out") << QStringList{"", one} << one << oneIdentity;
    QTest::newRow("8_byte_tunnel_left_out") << QStringList{one, "00:00:00:00:00:00:00:E0"} << one << oneIdentity;
    QTest::newRow("only_unqualified") << QStringList{"", "00:11:22:33:44"} << ""
                                      << "d41d8cd98f00b204e9800998ecf8427e";
    QTest::newRow("duplicates_stay") << QStringList{one, one} << one + "," + one
                                     << ::md5Hex((one + "," + one).toUtf8().toBase64());
}

void tst_MachineIdentity::identityOfAddresses()
{
    QFETCH(QStringList, addresses);
    QFETCH(QString, list);
    QFETCH(QString, identity);
    QCOMPARE(joinHardwareAddresses(addresses), list);
    QCOMPARE(identityOfAddressList(list), identity);
}

void tst_MachineIdentity::reversedOrderGivesAnotherIdentity()
{
    const QString reversed = joinHardwareAddresses({"0A:0B:0C:0D:0E:0F", "00:11:22:33:44:55"});
    QCOMPARE(reversed, QString("0A:0B:0C:0D:0E:0F,00:11:22:33:44:55"));
    QVERIFY(identityOfAddressList(reversed) != QString("636f09047844b5e1b65531c2d0a35834"));
}

QTEST_GUILESS_MAIN(tst_MachineIdentity)
#include "tst_machineidentity.moc"
