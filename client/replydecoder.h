#ifndef REPLYDECODER_H
#define REPLYDECODER_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The lookup service's reply, decoded from the bytes received so far. The reply
// is one QString in QDataStream form, version 17 (Qt 5.10), big-endian:
//   - a 4-byte unsigned length, the number of text bytes that follow;
//   - the text as UTF-16 code units, each big-endian;
//   - FF FF FF FF and nothing after it: a null string (no value at all).
// The client depends on nothing of the agent, so this is written from the wire
// format, not shared with the agent's encoder: each side checks the other.
namespace LookupReply {

// ---- Limits ----------------------------------------------------------------
// The length prefix of a null string.
constexpr quint32 NullLength = 0xFFFFFFFFu;
constexpr int PrefixBytes = 4;
// The agent answers one column value. A prefix beyond this is not such a value
// but a fault, or another protocol on the port, and is not waited for.
constexpr quint32 MaxTextBytes = 16u * 1024u * 1024u;

// ---- Decoding --------------------------------------------------------------
enum class State {
    NeedMore, // the bytes so far are the start of a valid reply
    Complete, // exactly one whole reply, nothing after it
    Malformed // these bytes cannot be, or cannot start, a valid reply
};

struct Decoded
{
    State state = State::NeedMore;
    bool isNull = false;       // Complete: the reply is the null string
    QString text;              // Complete: the text (empty for a null string)
    qint64 expectedBytes = -1; // whole reply size once the prefix is in, else -1
    QString problem;           // Malformed: what is wrong, for a person to read
};

// Decodes everything received so far. Pure: the same bytes give the same result,
// so a caller may feed the growing buffer again after each arrival.
Decoded decode(const QByteArray &received);

} // namespace LookupReply

#endif // REPLYDECODER_H
