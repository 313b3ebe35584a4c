#ifndef LOOKUP_H
#define LOOKUP_H

#include <QByteArray>
#include <QString>

// The parameter lookup's wire format, as pure functions; LookupQueue drives one
// lookup at a time through them.
namespace Lookup {

// ---- Limits ----------------------------------------------------------------
// A client's text usually arrives just after its connection; the lookup waits
// this long for its first bytes before it goes on with what it has.
constexpr int InputWaitMs = 3 * 1000;
// Lookups are served one at a time while the operator reads the boxes; the
// connections waiting meanwhile are held, this many by the listener (each
// costs a descriptor) and the rest by the system's listen queue, so a burst of
// clients is queued rather than refused.
constexpr int MaxPendingConnections = 32;

struct Limits
{
    int inputWaitMs = InputWaitMs;
    int maxPendingConnections = MaxPendingConnections;
};

// ---- Request ---------------------------------------------------------------
// The client's bytes as the input text: UTF-8 up to the first NUL byte, not
// trimmed. Never null, so it binds as a (possibly empty) string.
QString decodeInput(const QByteArray &bytes);

// ---- Reply -----------------------------------------------------------------
// One QString in QDataStream form, version 17 (Qt 5.10), big-endian: a 4-byte
// length in bytes and the UTF-16 code units, or FF FF FF FF for a null string.
QByteArray encodeReply(const QString &result);

} // namespace Lookup

#endif // LOOKUP_H
