#ifndef DEBUGOUTPUT_H
#define DEBUGOUTPUT_H

// The debug output, gathered: every message formatted exactly as Qt's default
// handler formats it (qFormatLogMessage, so QT_MESSAGE_PATTERN still applies),
// in the order it was given, and written to standard error in one call for
// many: when the event loop is about to wait, at once for a warning or worse,
// when enough has gathered, at exit, and, from a watchdog thread, when what
// has gathered is MaxGatheredMs old, so a thread blocked in a statement or a
// box holds nothing back for longer. The default handler makes one write per
// message; a check prints sixteen.
namespace DebugOutput {

// What gathers before it is written anyway, in bytes and in milliseconds.
constexpr int MaxGatheredBytes = 32 * 1024;
constexpr int MaxGatheredMs = 50;

// Installs the handler and starts the watchdog; call once the application
// object exists.
void install();
// Writes what has gathered. Safe from any thread, and without the handler.
void flush();

} // namespace DebugOutput

#endif // DEBUGOUTPUT_H
