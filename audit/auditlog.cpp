#include "auditlog.h"

#include <QDebug>
#include <QFile>
#include <QMetaObject>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Audit {

// ---- The line --------------------------------------------------------------

QByteArray verdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Exist:
        return QByteArrayLiteral("exist");
    case Verdict::NotFound:
        return QByteArrayLiteral("notfount");
    case Verdict::Unavailable:
        return QByteArrayLiteral("unavailable");
    case Verdict::Refused:
        return QByteArrayLiteral("refused");
    }
    return QByteArray();
}

QByteArray sourceText(Source source)
{
    switch (source) {
    case Source::Database:
        return QByteArrayLiteral("db");
    case Source::Cache:
        return QByteArrayLiteral("cache");
    case Source::Stale:
        return QByteArrayLiteral("stale");
    case Source::Throttle:
        return QByteArrayLiteral("throttle");
    case Source::Request:
        return QByteArrayLiteral("request");
    }
    return QByteArray();
}

namespace {

void appendEscaped(QByteArray &out, char32_t c)
{
    if (c == '"' || c == '\\') {
        out += '\\';
        out += char(c);
    } else if (c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", unsigned(c));
        out += escape;
    } else if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xc0 | (c >> 6));
        out += char(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += char(0xe0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3f));
        out += char(0x80 | (c & 0x3f));
    } else {
        out += char(0xf0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3f));
        out += char(0x80 | ((c >> 6) & 0x3f));
        out += char(0x80 | (c & 0x3f));
    }
}

} // namespace

QByteArray jsonString(const QString &text, int maxChars, bool *cut)
{
    QByteArray out;
    const int size = text.size();
    out.reserve(maxChars < 0 ? size : qMin(size, maxChars) + 8);
    int i = 0;
    for (int chars = 0; i < size && (maxChars < 0 || chars < maxChars); ++chars) {
        char32_t c = text.at(i++).unicode();
        if (QChar::isHighSurrogate(c) && i < size && text.at(i).isLowSurrogate())
            c = QChar::surrogateToUcs4(char16_t(c), text.at(i++).unicode());
        else if (QChar::isSurrogate(c))
            c = QChar::ReplacementCharacter;
        appendEscaped(out, c);
    }
    if (cut)
        *cut = i < size;
    return out;
}

namespace {
// "2026-12-10T09:14:03.512Z". A line a check: the text up to the second is
// kept and made anew only when the second changes, since formatting a date
// costs more than the rest of the line.
QByteArray rfc3339(const QDateTime &time)
{
    thread_local qint64 second = -1;
    thread_local QByteArray upToSecond;
    const qint64 ms = time.toMSecsSinceEpoch();
    const qint64 s = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    if (s != second) {
        second = s;
        upToSecond = QDateTime::fromSecsSinceEpoch(s, Qt::UTC).toString(Qt::ISODate).toLatin1();
        upToSecond.chop(1); // its "Z"
    }
    char fraction[6];
    std::snprintf(fraction, sizeof fraction, ".%03dZ", int(ms - s * 1000));
    QByteArray text = upToSecond;
    text += fraction;
    return text;
}
} // namespace

QByteArray line(const Record &record)
{
    bool userCut = false;
    const QByteArray user = jsonString(record.user, UserMaxChars, &userCut);
    // NaN or infinity is no JSON number; a negative time is a caller's slip.
    const double ms = std::isfinite(record.ms) && record.ms > 0 ? record.ms : 0.0;

    QByteArray out;
    out.reserve(160 + user.size() + record.client.size() + record.userId.size());
    out += "{\"time\":\"";
    out += rfc3339(record.time);
    out += "\",\"client\":\"";
    out += jsonString(record.client);
    out += "\",\"listener\":\"";
    out += jsonString(record.listener);
    out += "\",\"user\":\"";
    out += user;
    out += '"';
    if (userCut)
        out += ",\"user_cut\":true";
    out += ",\"verdict\":\"";
    out += verdictText(record.verdict);
    out += "\",\"source\":\"";
    out += sourceText(record.source);
    out += "\",\"ms\":";
    out += QByteArray::number(ms, 'f', 1);
    if (!record.userId.isEmpty()) {
        out += ",\"userid\":\"";
        out += jsonString(record.userId);
        out += '"';
    }
    out += "}\n";
    return out;
}

} // namespace Audit

// ---- The writer ------------------------------------------------------------

namespace {

int openForAppend(const QByteArray &path)
{
    return ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0640);
}

} // namespace

// What the log and its writer thread share. The writer holds it too, so a
// writer left behind by close() (stuck on a pipe) never touches a freed log.
struct AuditLog::State
{
    explicit State(const Audit::Limits &limits)
        : bound(limits.queueLines), gatherMs(limits.gatherMs), gatherLines(limits.gatherLines)
    { }

    // Counts lines that were not written and asks the owner to tell it.
    void drop(quint64 lines, const QString &why);
    // The batch in order; an empty entry asks for the path to be opened anew.
    void writeBatch(const std::deque<QByteArray> &batch);
    // Appends whole lines (ends: where each one ends in bytes).
    void append(const QByteArray &bytes, const std::vector<qint64> &ends);

    // The writer's alone once it runs.
    bool standardError = false;
    QByteArray path; // for open(2)
    int fd = -1;     // -1: opened before the next lines
    // A line cut short could not be taken back: the next write starts a new line.
    bool fragment = false;

    // Under mutex.
    const int bound;
    const int gatherMs, gatherLines;
    std::mutex mutex;
    std::condition_variable wake; // lines queued, or stopping
    std::condition_variable idle; // the queue written, or the writer finished
    std::deque<QByteArray> queue;
    bool busy = false;  // the writer holds a batch
    bool hurry = false; // flush(): write what is gathered now
    bool stopping = false;
    bool finished = false;
    QString reason;            // of the latest drop
    AuditLog *owner = nullptr; // told of drops; none once closed
    bool reportAsked = false;

    std::atomic<quint64> dropped {0};
};

void AuditLog::State::drop(quint64 lines, const QString &why)
{
    dropped += lines;
    std::lock_guard<std::mutex> lock(mutex);
    reason = why;
    // One report waits in the owner's queue at most; the owner says it on its
    // own thread, as the message handler expects.
    if (owner && !reportAsked) {
        reportAsked = true;
        AuditLog *log = owner;
        QMetaObject::invokeMethod(
            log, [log] { log->report(); }, Qt::QueuedConnection);
    }
}

void AuditLog::State::writeBatch(const std::deque<QByteArray> &batch)
{
    QByteArray bytes;
    std::vector<qint64> ends;
    for (const QByteArray &entry : batch) {
        if (!entry.isEmpty()) {
            bytes += entry;
            ends.push_back(bytes.size());
            continue;
        }
        append(bytes, ends);
        bytes.clear();
        ends.clear();
        if (!standardError && fd >= 0) {
            ::close(fd);
            fd = -1;
            fragment = false;
        }
    }
    append(bytes, ends);
}

void AuditLog::State::append(const QByteArray &bytes, const std::vector<qint64> &ends)
{
    if (ends.empty())
        return;
    if (fd < 0 && (fd = openForAppend(path)) < 0)
        return drop(ends.size(), qt_error_string(errno));
    struct stat st = {};
    const bool regular = !standardError && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // Lines written to a file nobody can reach any more are lost all the same.
    if (regular && st.st_nlink == 0)
        return drop(ends.size(), QStringLiteral("the file was deleted"));
    if (fragment) {
        if (::write(fd, "\n", 1) != 1)
            return drop(ends.size(), qt_error_string(errno));
        fragment = false;
        if (regular)
            ++st.st_size;
    }
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        const QString why = n < 0 ? qt_error_string(errno) : QStringLiteral("nothing was written");
        const auto whole = std::upper_bound(ends.begin(), ends.end(), done) - ends.begin();
        const qint64 kept = whole > 0 ? ends[size_t(whole - 1)] : 0;
        // O_APPEND wrote from the size fstat saw. Standard error is shared
        // with the debug output, so it is never cut.
        if (done > kept)
            fragment = !(regular && ::ftruncate(fd, st.st_size + kept) == 0);
        return drop(ends.size() - size_t(whole), why);
    }
}

void AuditLog::run(std::shared_ptr<State> state)
{
    // A reader of the pipe that went away costs lines (EPIPE), never the process.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
        state->wake.wait(lock, [&] { return !state->queue.empty() || state->stopping; });
        if (state->queue.empty())
            break;
        state->wake.wait_for(lock, std::chrono::milliseconds(state->gatherMs), [&] {
            return state->stopping || state->hurry || int(state->queue.size()) >= state->gatherLines;
        });
        state->hurry = false;
        std::deque<QByteArray> batch;
        batch.swap(state->queue);
        state->busy = true;
        lock.unlock();
        state->writeBatch(batch);
        lock.lock();
        state->busy = false;
        state->idle.notify_all();
    }
    if (!state->standardError && state->fd >= 0)
        ::close(state->fd);
    state->finished = true;
    state->idle.notify_all();
}

// ---- The log ---------------------------------------------------------------

AuditLog::AuditLog(const Audit::Limits &limits, QObject *parent) : QObject(parent), m_limits(limits)
{
    m_warnLater.setSingleShot(true);
    connect(&m_warnLater, &QTimer::timeout, this, &AuditLog::report);
}

AuditLog::~AuditLog()
{
    close();
}

bool AuditLog::open(const QString &path)
{
    close();
    m_path = path;
    m_error.clear();
    auto state = std::make_shared<State>(m_limits);
    if (path == QLatin1String("-")) {
        state->standardError = true;
        state->fd = STDERR_FILENO;
    } else {
        state->path = QFile::encodeName(path);
        state->fd = openForAppend(state->path);
        if (state->fd < 0)
            m_error = qt_error_string(errno);
    }
    state->owner = this;
    m_state = state;
    std::thread(&AuditLog::run, state).detach();
    return m_error.isEmpty();
}

void AuditLog::close()
{
    if (!m_state)
        return;
    {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        m_state->stopping = true;
        m_state->owner = nullptr;
        m_state->wake.notify_one();
        m_state->idle.wait_for(
            lock, std::chrono::milliseconds(m_limits.closeWaitMs), [this] { return m_state->finished; });
        m_reason = m_state->reason;
    }
    m_droppedBefore += m_state->dropped;
    m_state.reset();
}

void AuditLog::reopen()
{
    if (!m_state)
        return;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->queue.emplace_back(); // never dropped: the lines after it belong in the new file
    m_state->wake.notify_one();
}

void AuditLog::write(const Audit::Record &record)
{
    if (!m_state)
        return;
    QByteArray text;
    if (record.time.isValid()) {
        text = Audit::line(record);
    } else {
        Audit::Record stamped = record;
        stamped.time = QDateTime::currentDateTimeUtc();
        text = Audit::line(stamped);
    }
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        const int waiting = int(m_state->queue.size());
        if (waiting < m_state->bound) {
            m_state->queue.push_back(std::move(text));
            // The writer wakes for the first line; it gathers the rest itself.
            if (waiting == 0 || waiting + 1 == m_state->gatherLines)
                m_state->wake.notify_one();
            return;
        }
    }
    m_state->drop(1, QStringLiteral("the queue was full (%1 lines)").arg(m_limits.queueLines));
}

void AuditLog::flush()
{
    if (!m_state)
        return;
    std::unique_lock<std::mutex> lock(m_state->mutex);
    m_state->hurry = true;
    m_state->wake.notify_one();
    m_state->idle.wait(
        lock, [this] { return (m_state->queue.empty() && !m_state->busy) || m_state->finished; });
}

quint64 AuditLog::dropped() const
{
    return m_droppedBefore + (m_state ? m_state->dropped.load() : 0);
}

int AuditLog::pending() const
{
    if (!m_state)
        return 0;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return int(m_state->queue.size());
}

void AuditLog::report()
{
    if (m_state) {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->reportAsked = false;
        m_reason = m_state->reason;
    }
    if (m_lastWarning.isValid() && !m_lastWarning.hasExpired(m_limits.warnIntervalMs)) {
        if (!m_warnLater.isActive())
            m_warnLater.start(int(m_limits.warnIntervalMs - m_lastWarning.elapsed()));
        return;
    }
    const quint64 total = dropped();
    if (total == m_reported)
        return;
    qWarning().noquote() << QStringLiteral("[e] audit: %1 lines could not be written to %2: %3")
                                .arg(total - m_reported)
                                .arg(m_path, m_reason);
    m_reported = total;
    m_lastWarning.start();
}
