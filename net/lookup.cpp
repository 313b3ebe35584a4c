#include "lookup.h"
#include "wiretext.h"

#include <QDataStream>
#include <QIODevice>

namespace Lookup {

QString decodeInput(const QByteArray &bytes)
{
    const QString text = Net::textUpToNul(bytes);
    return text.isNull() ? QString(QLatin1String("")) : text;
}

QByteArray encodeReply(const QString &result)
{
    QByteArray reply;
    QDataStream out(&reply, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_10);
    out << result;
    return reply;
}

} // namespace Lookup
