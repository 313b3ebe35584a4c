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
    int copied = 0;
    for (auto it = input.globalMatch(statement); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        const QString name = QStringLiteral(":lookup_input_%1").arg(bound.placeholders.size() + 1);
        bound.text += statement.midRef(copied, match.capturedStart() - copied) + name;
        bound.placeholders << name;
        copied = match.capturedEnd();
    }
    bound.text += statement.midRef(copied);
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
