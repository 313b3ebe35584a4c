#include "replydecoder.h"

#include <QtEndian>

namespace LookupReply {

namespace {
Decoded malformed(const QString &problem, qint64 expected = -1)
{
    Decoded d;
    d.state = State::Malformed;
    d.problem = problem;
    d.expectedBytes = expected;
    return d;
}
} // namespace

Decoded decode(const QByteArray &received)
{
    Decoded d;
    if (received.size() < PrefixBytes)
        return d;

    const auto *bytes = reinterpret_cast<const uchar *>(received.constData());
    const quint32 length = qFromBigEndian<quint32>(bytes);
    const qint64 trailing = received.size() - PrefixBytes;

    if (length == NullLength) {
        d.expectedBytes = PrefixBytes;
        if (trailing > 0)
            return malformed(
                QStringLiteral("%1 byte(s) follow the null string").arg(trailing), d.expectedBytes);
        d.state = State::Complete;
        d.isNull = true;
        return d;
    }
    if (length % 2 != 0)
        return malformed(QStringLiteral("the length prefix %1 is odd, but UTF-16 text has "
                                        "two bytes per code unit")
                             .arg(length));
    if (length > MaxTextBytes)
        return malformed(QStringLiteral("the length prefix announces %1 bytes, more than the "
                                        "%2 a reply may hold")
                             .arg(length)
                             .arg(MaxTextBytes));

    d.expectedBytes = PrefixBytes + qint64(length);
    if (trailing < qint64(length))
        return d;
    if (trailing > qint64(length))
        return malformed(
            QStringLiteral("%1 byte(s) follow the string").arg(trailing - length), d.expectedBytes);

    const int units = int(length / 2);
    d.text = QString(units, Qt::Uninitialized); // not null, even when empty
    QChar *out = d.text.data();
    for (int i = 0; i < units; ++i)
        out[i] = QChar(qFromBigEndian<quint16>(bytes + PrefixBytes + 2 * i));
    d.state = State::Complete;
    return d;
}

} // namespace LookupReply
