#ifndef WIRETEXT_H
#define WIRETEXT_H

#include <QByteArray>
#include <QString>

// Texts both services put on the wire.
namespace Net {
// What the credential check and the parameter lookup answer when they found nothing.
inline const QString NoResult = QStringLiteral("none");

// What is shown wherever a password would be.
inline const QString MaskedPassword = QStringLiteral("********");

// Received bytes as text: UTF-8, cut before the first NUL byte (all of them when
// there is none). Clients are not trusted to stop at a terminator, so nothing
// after a NUL is ever looked at.
inline QString textUpToNul(const QByteArray &bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}
} // namespace Net

#endif // WIRETEXT_H
