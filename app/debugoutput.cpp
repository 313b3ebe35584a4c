#include "debugoutput.h"

#include <QAbstractEventDispatcher>
#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMutex>
#include <QString>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace {

// Made once and never destroyed: the watchdog thread may still look at them
// while the process ends.
struct Gathered
{
    QMutex mutex;
    QByteArray bytes;
    QElapsedTimer oldest; // since the first message now waiting
};
Gathered &state()
{
    static Gathered *const gathered = new Gathered;
    return *gathered;
}

// Under the lock.
void writeGathered()
{
    Gathered &g = state();
    const char *data = g.bytes.constData();
    qsizetype left = g.bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break; // nowhere to write to; the default handler would lose it too
        data += written;
        left -= written;
    }
    g.bytes.clear();
    g.oldest.invalidate();
}

void gather(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // As the default handler does: a message the pattern formats to nothing
    // is not printed; an empty message is an empty line.
    const QString formatted = qFormatLogMessage(type, context, message);
    if (formatted.isNull())
        return;
    Gathered &g = state();
    QMutexLocker lock(&g.mutex);
    if (!g.oldest.isValid())
        g.oldest.start();
    g.bytes += formatted.toLocal8Bit();
    g.bytes += '\n';
    if (type != QtDebugMsg && type != QtInfoMsg)
        writeGathered();
    else if (g.bytes.size() >= DebugOutput::MaxGatheredBytes
        || g.oldest.elapsed() >= DebugOutput::MaxGatheredMs)
        writeGathered();
}

// Writes what has waited MaxGatheredMs, whatever the thread that gathered it
// is doing. Detached: it only ever takes the lock for a moment, and ends with
// the process.
void watch()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(DebugOutput::MaxGatheredMs));
        Gathered &g = state();
        QMutexLocker lock(&g.mutex);
        if (g.oldest.isValid() && g.oldest.elapsed() >= DebugOutput::MaxGatheredMs)
            writeGathered();
    }
}

} // namespace

namespace DebugOutput {

void install()
{
    qInstallMessageHandler(gather);
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher, &flush);
    qAddPostRoutine(flush);
    std::atexit(flush);
    std::thread(watch).detach();
}

void flush()
{
    Gathered &g = state();
    QMutexLocker lock(&g.mutex);
    if (!g.bytes.isEmpty())
        writeGathered();
}

} // namespace DebugOutput
