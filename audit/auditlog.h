#ifndef AUDITLOG_H
#define AUDITLOG_H

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

namespace Audit {

// ---- Limits ----------------------------------------------------------------
// Characters (Unicode code points) of a user name written at most; a longer
// name is cut there and its line carries "user_cut":true.
constexpr int UserMaxChars = 256;

struct Limits
{
    int queueLines = 10000; // lines waiting for the writer at most; a further one is dropped
    // The writer gathers lines this long, or this many, before one write: a
    // write of many lines costs what one of a single line does, and waking the
    // writer for every line cost more than the check it records.
    int gatherMs = 50;
    int gatherLines = 512;
    int warnIntervalMs = 60000; // one warning about dropped lines at most this often
    int closeWaitMs = 2000;     // closing waits this long for the writer to finish its queue
};

// ---- One verdict -----------------------------------------------------------
enum class Verdict { Exist, NotFound, Unavailable, Refused };
// Refused comes from the throttle or from the request itself (malformed, too long).
enum class Source { Database, Cache, Stale, Throttle, Request };

// What one answer of the check leaves in the audit log. There is no field for
// a password, so no caller can put one into the log.
struct Record
{
    QDateTime time;   // of the answer; written in UTC. AuditLog::write() stamps one that is invalid
    QString client;   // the client's address as text
    QString listener; // "http", "https", ...
    QString user;     // the user name as the check used it
    Verdict verdict = Verdict::NotFound;
    Source source = Source::Database;
    double ms = 0;  // from the request's arrival to the answer
    QString userId; // written only when not empty (log/audit_userid=true)
};

// ---- The line --------------------------------------------------------------
// "exist", "notfount", "unavailable", "refused".
QByteArray verdictText(Verdict verdict);
// "db", "cache", "stale", "throttle", "request".
QByteArray sourceText(Source source);

// The record as one JSON object and '\n', its fields always in this order:
// time, client, listener, user, [user_cut], verdict, source, ms, [userid].
// time is RFC 3339 in UTC with milliseconds and "Z"; ms has one decimal.
// The line is valid JSON and valid UTF-8 whatever the strings hold.
QByteArray line(const Record &record);

// The text as the inside of a JSON string, in UTF-8: '"' and '\' escaped,
// control characters (C0, DEL, C1) and U+2028/U+2029 as \u00XX, so a line
// holds no raw control byte and no reader breaks it before its '\n'; half of
// a surrogate pair, which has no UTF-8 form, as U+FFFD. At most maxChars code
// points when maxChars >= 0; *cut tells whether any were left out.
QByteArray jsonString(const QString &text, int maxChars = -1, bool *cut = nullptr);

} // namespace Audit

// The audit log: one line per verdict, appended to a file or standard error
// by a thread of its own, so a slow or full disk never holds up an answer.
//
// write() formats the line and queues it; the writer takes whatever is
// queued and appends it with write(2). A line is dropped, and counted, when
// the queue is full, when it cannot be written (disk full, file system read
// only, the file deleted, no file could be opened), or when an error cuts it
// short: a cut line is taken back off a regular file, so every line in the
// file is whole. Drops are told by qWarning on the thread that owns the log,
// at most once per Limits::warnIntervalMs:
//   "[e] audit: N lines could not be written to PATH: reason"
// Every call comes from that thread; the writer thread is the log's own.
class AuditLog : public QObject
{
    Q_OBJECT

public:
    explicit AuditLog(const Audit::Limits &limits = Audit::Limits(), QObject *parent = nullptr);
    // Waits at most Limits::closeWaitMs for the queue (see close()).
    ~AuditLog() override;

    // Appends to path from now on ("-": standard error), creating the file
    // with mode 0640 (less what the umask takes). False, with errorString(),
    // when it cannot be opened now; it is tried again before each batch of
    // lines, which are dropped until it opens.
    bool open(const QString &path);
    // Writes what is queued, waiting at most Limits::closeWaitMs (a writer
    // stuck on a pipe nobody reads is left to finish alone), then stops.
    void close();
    // Once the lines queued so far are written, the path is opened anew: for
    // SIGHUP after logrotate has moved the file. Nothing for standard error.
    void reopen();

    // Queues the record's line; never waits for the disk. Nothing when no
    // path is open.
    void write(const Audit::Record &record);
    // Waits until every line queued so far is written or dropped: for tests
    // and shutdown, as a writer stuck on a pipe holds it up.
    void flush();

    bool isOpen() const { return bool(m_state); }
    QString path() const { return m_path; }
    QString errorString() const { return m_error; }
    // Lines not written since construction: tovr_merk_audit_lines_dropped_total.
    quint64 dropped() const;
    // Lines queued and not yet taken by the writer.
    int pending() const;

private:
    struct State;
    static void run(std::shared_ptr<State> state);
    void report();

    const Audit::Limits m_limits;
    QString m_path;
    QString m_error;
    QString m_reason; // of the latest drop
    std::shared_ptr<State> m_state;
    quint64 m_droppedBefore = 0; // by writers closed since
    quint64 m_reported = 0;      // drops told so far
    QElapsedTimer m_lastWarning;
    QTimer m_warnLater; // a report held back by the interval
};

#endif // AUDITLOG_H
