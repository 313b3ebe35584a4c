#include "lookup.h"
#include "wiretext.h"

#include <QDataStream>
#include <QIODevice>
#include <QRegularExpression>

namespace Lookup {

QString decodeInput(const QByteArray &bytes)
{
    const QString text = Net::textUpToNul(bytes);
    return text.isNull() ? QString(QLatin1String("")) : text;
}

BoundStatement bindInput(const QString &statement)
{
    static const QRegularExpression input(QStringLiteral("'%1'|%1"));
    BoundStatement bound;
    bound.text = statement;
    // QString::count would count overlapping matches ('%1' twice).
    for (auto it = input.globalMatch(statement); it.hasNext(); it.next())
        ++bound.inputCount;
    bound.text.replace(input, QStringLiteral("?"));
    return bound;
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
