#include "client/replydecoder.h"
#include "support/testsupport.h"

#include <QDataStream>
#include <QtTest>

using LookupReply::Decoded;
using LookupReply::State;

Q_DECLARE_METATYPE(LookupReply::State)

// The client's decoder against hand-written wire bytes and against what Qt's
// own QDataStream writes for the same strings.
class tst_ReplyDecoder : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void roundTripWithQDataStream_data();
    void roundTripWithQDataStream();
    void splitArrivalNeedsMoreUntilLastByte_data();
    void splitArrivalNeedsMoreUntilLastByte();
    void largestAllowedLengthIsWaitedFor();
    void emptyStringIsNotNull();
};

void tst_ReplyDecoder::decode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<State>("state");
    QTest::addColumn<bool>("isNull");
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("expectedBytes");

#define ROW(tag, bytes, state, isNull, text, expected)                                            \
    QTest::newRow(tag) << hexBytes(bytes) << State::state << isNull << QString(text) << qint64(expected)

    ROW("none", "00 00 00 08 00 6E 00 6F 00 6E 00 65", Complete, false, "none", 12);
    ROW("digits_123", "00 00 00 06 00 31 00 32 00 33", Complete, false, "123", 10);
    ROW("null_string", "FF FF FF FF", Complete, true, "", 4);
    ROW("empty_string", "00 00 00 00", Complete, false, "", 4);
    // "Müller" and the euro sign: Latin-1 and a BMP letter beyond it.
    ROW("non_ascii_bmp", "00 00 00 0E 00 4D 00 FC 00 6C 00 6C 00 65 00 72 20 AC", Complete, false,
        QStringLiteral("M\u00fcller\u20ac"), 18);
    // U+1F600 as a surrogate pair: two code units, order kept.
    ROW("surrogate_pair", "00 00 00 04 D8 3D DE 00", Complete, false,
        QString::fromUcs4(U"\U0001F600"), 8);

    ROW("nothing_yet", "", NeedMore, false, "", -1);
    ROW("prefix_three_bytes", "00 00 00", NeedMore, false, "", -1);
    ROW("null_prefix_three_bytes", "FF FF FF", NeedMore, false, "", -1);
    ROW("prefix_only", "00 00 00 08", NeedMore, false, "", 12);
    ROW("truncated_text", "00 00 00 08 00 6E 00 6F 00", NeedMore, false, "", 12);
    ROW("truncated_mid_code_unit", "00 00 00 06 00 31 00", NeedMore, false, "", 10);

    ROW("odd_length", "00 00 00 07 00 6E 00 6F 00 6E 00", Malformed, false, "", -1);
    ROW("odd_length_prefix_only", "00 00 00 01", Malformed, false, "", -1);
    ROW("oversized_length", "01 00 00 02 00 41", Malformed, false, "", -1);
    ROW("largest_even_not_null", "FF FF FF FE", Malformed, false, "", -1);
    ROW("byte_after_string", "00 00 00 02 00 41 00", Malformed, false, "", 6);
    ROW("second_string_after_first", "00 00 00 02 00 41 00 00 00 02 00 42", Malformed, false, "", 6);
    ROW("byte_after_null", "FF FF FF FF 00", Malformed, false, "", 4);
    // Another service's answer on the lookup port, here an HTTP status line.
    ROW("http_answer", "48 54 54 50 2F 31 2E 30 20 32 30 30", Malformed, false, "", -1);
#undef ROW
}

void tst_ReplyDecoder::decode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(State, state);

    const Decoded d = LookupReply::decode(bytes);
    QCOMPARE(int(d.state), int(state));
    QTEST(d.expectedBytes, "expectedBytes");
    if (state == State::Complete) {
        QTEST(d.isNull, "isNull");
        QTEST(d.text, "text");
        QVERIFY(d.problem.isEmpty());
    } else if (state == State::Malformed) {
        QVERIFY2(!d.problem.isEmpty(), "a malformed reply says what is wrong");
    }
}

void tst_ReplyDecoder::roundTripWithQDataStream_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("null") << QString();
    QTest::newRow("empty") << QStringLiteral("");
    QTest::newRow("identifier") << QStringLiteral("1001");
    QTest::newRow("cyrillic") << QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442");
    QTest::newRow("ten_thousand_chars") << QString(10000, QLatin1Char('x'));
}

void tst_ReplyDecoder::roundTripWithQDataStream()
{
    QFETCH(QString, text);
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_10);
    out << text;

    const Decoded d = LookupReply::decode(bytes);
    QCOMPARE(int(d.state), int(State::Complete));
    QCOMPARE(d.isNull, text.isNull());
    QCOMPARE(d.text, text.isNull() ? QString() : text);
    QCOMPARE(d.expectedBytes, qint64(bytes.size()));
}

void tst_ReplyDecoder::splitArrivalNeedsMoreUntilLastByte_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("none") << hexBytes("00 00 00 08 00 6E 00 6F 00 6E 00 65");
    QTest::newRow("null") << hexBytes("FF FF FF FF");
    QTest::newRow("empty") << hexBytes("00 00 00 00");
}

// Bytes arrive in any pieces; every proper prefix of a reply is "need more",
// and only the whole reply is complete.
void tst_ReplyDecoder::splitArrivalNeedsMoreUntilLastByte()
{
    QFETCH(QByteArray, bytes);
    for (int n = 0; n < bytes.size(); ++n) {
        const Decoded d = LookupReply::decode(bytes.left(n));
        QVERIFY2(d.state == State::NeedMore, qPrintable(bytes.left(n).toHex(' ')));
    }
    QCOMPARE(int(LookupReply::decode(bytes).state), int(State::Complete));
}

void tst_ReplyDecoder::largestAllowedLengthIsWaitedFor()
{
    QByteArray prefix(4, '\0');
    qToBigEndian<quint32>(LookupReply::MaxTextBytes, prefix.data());
    const Decoded atLimit = LookupReply::decode(prefix);
    QCOMPARE(int(atLimit.state), int(State::NeedMore));
    QCOMPARE(atLimit.expectedBytes, qint64(LookupReply::MaxTextBytes) + 4);

    qToBigEndian<quint32>(LookupReply::MaxTextBytes + 2, prefix.data());
    QCOMPARE(int(LookupReply::decode(prefix).state), int(State::Malformed));
}

void tst_ReplyDecoder::emptyStringIsNotNull()
{
    const Decoded d = LookupReply::decode(hexBytes("00 00 00 00"));
    QVERIFY(!d.isNull);
    QVERIFY(!d.text.isNull());
    QVERIFY(d.text.isEmpty());
}

QTEST_APPLESS_MAIN(tst_ReplyDecoder)
#include "tst_replydecoder.moc"
