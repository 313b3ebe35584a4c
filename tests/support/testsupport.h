#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

// The test harness's small parts: a scratch working directory, INI text, the
// boxes and messages an agent shows, ports, descriptors and hex. The agent
// fixtures are in agent.h, the loopback client in wireclient.h, the databases
// in sqlfixture.h and pgserver.h.

#include <QFileDevice>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QVector>
#include <QtGlobal>

#include <sys/resource.h>

// ---- Working directory ------------------------------------------------------
// A fresh temporary directory, made current for the object's lifetime. With a
// subdirectory name, the current directory is that subdirectory of it, so
// files may lie beside it (a database named "../x.sqlite").
class WorkDir
{
public:
    explicit WorkDir(const QString &subdir = QString());
    ~WorkDir();
    WorkDir(const WorkDir &) = delete;
    WorkDir &operator=(const WorkDir &) = delete;

    QString path() const { return m_path; }
    QString root() const { return m_dir.path(); }
    QString filePath(const QString &name) const;
    QByteArray readFile(const QString &name) const;
    void writeIni(const QByteArray &iniText) const;

private:
    QTemporaryDir m_dir;
    QString m_path;
    QString m_previous;
};

// ---- INI text ---------------------------------------------------------------
// "section/name" -> raw value (the caller quotes where needed).
using IniValues = QMap<QString, QString>;
QByteArray iniText(const IniValues &values);

// The INI text with the given keys set: existing lines are rewritten in place,
// missing keys are appended in sections of their own.
QByteArray withIniValues(const QByteArray &ini, const IniValues &values);

// Settings for an agent that starts quickly and touches nothing outside the
// test: an in-memory SQLite database, free ports, a provisioning host that
// refuses, and a fixed cipher key; then the keys of more over them.
IniValues quietAgentSettings(const IniValues &more = {});
inline IniValues withValues(IniValues values, const IniValues &more)
{
    values.insert(more);
    return values;
}
inline const QString QuietCipherKey = QStringLiteral("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="); // 0x00..0x1f

// The INI example of the README's "## Database" section whose text holds
// "type=<driver>", or an empty array when there is none.
QByteArray readmeIni(const QString &driver);

// A file of the source tree, by its path from the top; empty when unreadable.
QByteArray sourceFile(const QString &path);
// Any file's bytes; empty when unreadable.
QByteArray readFile(const QString &path);
// The lines of the audit log at path, each parsed; a line that is no JSON object comes back empty.
QVector<QJsonObject> auditLines(const QString &path);
// The user of each line; "<broken>" for a line that is no JSON object.
QStringList auditUsers(const QString &path);
// Writes bytes to the file at path, then gives it the permissions; false when it cannot.
bool writeFile(const QString &path, const QByteArray &bytes,
               QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner);

// ---- What the agent shows ---------------------------------------------------
// Watches for message boxes, records their title and text and presses OK.
// Works inside the nested event loop a modal box runs.
class BoxDismisser : public QObject
{
    Q_OBJECT

public:
    struct Box {
        QString title;
        QString text;
        int icon; // QMessageBox::Icon
    };

    explicit BoxDismisser(QObject *parent = nullptr);
    // Leave each box open for this long before pressing OK (default: at once).
    void setHoldMs(int ms) { m_holdMs = ms; }
    QVector<Box> boxes;
    QStringList texts() const;

private:
    void poll();
    QTimer m_timer;
    int m_holdMs = 0;
};

// Records qDebug()/qWarning() output while it exists.
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    // The agent's debug output, as the default handler prints it: its
    // narration and its failure lines (warnings), not Qt's own warnings.
    QStringList debug() const;
    QStringList warnings() const; // QtWarningMsg lines alone
    QStringList all() const;
    QStringList debugStartingWith(const QString &prefix) const;
    bool containsDebug(const QString &text) const;
    int indexOfDebug(const QString &text, int from = 0) const;
    void clear();
};

// The messages of a log file, time stamps checked and removed. A message that
// carries line feeds (a driver's error text) stays one entry. A line that does
// not start with a time stamp where one is due is returned as "<no stamp>".
QStringList logMessages(const QByteArray &logFile);

// How qDebug() prints a QString: quoted and escaped.
QString debugQuoted(const QString &text);

// The lines that follow the first line equal to `line` (none if absent).
QStringList linesAfter(const QStringList &lines, const QString &line);

// ---- Ports and descriptors --------------------------------------------------
// Processes stopped (SIGSTOP) for as long as the object lives.
struct StoppedProcesses
{
    explicit StoppedProcesses(const QStringList &pids);
    ~StoppedProcesses();
    StoppedProcesses(const StoppedProcesses &) = delete;
    StoppedProcesses &operator=(const StoppedProcesses &) = delete;
    QVector<int> stopped;
};

// A TCP port on loopback that was free a moment ago, below the ephemeral
// range, never the same twice in one test process.
quint16 freePort();
// Whether something on 127.0.0.1 accepts a connection on port, tried for up to
// 100 ms: a process the test started may not listen yet.
bool accepts(quint16 port);

// The descriptor number the next open() would get.
int lowestFreeDescriptor();

// Changes the soft limit on open descriptors for the object's lifetime.
class DescriptorLimit
{
public:
    DescriptorLimit();
    ~DescriptorLimit() { restore(); }
    DescriptorLimit(const DescriptorLimit &) = delete;
    DescriptorLimit &operator=(const DescriptorLimit &) = delete;

    // Only descriptor numbers below limit can be opened from now on.
    bool setTo(rlim_t limit);
    void restore();
    rlim_t saved() const { return m_saved.rlim_cur; }

private:
    rlimit m_saved{};
};

// ---- Programs -----------------------------------------------------------------
// A program's outcome: its exit code (-1 when it did not start, crashed or was
// killed), what it wrote to standard output and to standard error.
struct ProgramRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};
// Runs a program to its end with input on its standard input, processing the
// calling thread's events meanwhile, so a server of the test on that thread
// answers it; killed after waitMs, which its standard error then says. Not for
// a thread without an event loop: there it would only end by being killed.
ProgramRun runProgram(const QString &program, const QStringList &arguments, const QByteArray &input = {},
                      int waitMs = 30000);
// What curl, run from the local address from (127.0.0.2 is a second client on lo), got for url, or what it said.
QByteArray curlFrom(const QString &from, const QString &url, const QStringList &more = {});

// ---- TLS ----------------------------------------------------------------------
// A self-signed certificate for localhost and 127.0.0.1 and its unencrypted key,
// made by the openssl command in dir as cert.pem and key.pem. Empty, or why not.
QString makeCertificate(const QString &dir, const QString &keyType = QStringLiteral("rsa:2048"));
// The INI keys of a TLS listener on a free port, serving the certificate made in dir.
IniValues tlsSettings(const QString &dir);

// ---- Bytes ------------------------------------------------------------------
// The bytes written as hex digits, spaces allowed between them: "00 6E".
// Compare byte strings through toHex(), so a failure shows both values.
QByteArray hexBytes(const char *digits);

// What a test needs and this machine lacks (a server, a tool): the test is
// skipped here, and fails under CI (CI set), where scripts/install-deps.sh
// installed everything, so nothing passes there by being skipped.
#define REQUIRE_HERE(ok, why)                                                                          \
    do {                                                                                               \
        if (!(ok) && qEnvironmentVariableIsSet("CI"))                                                  \
            QFAIL(qPrintable(why));                                                                    \
        if (!(ok))                                                                                     \
            QSKIP(qPrintable(why));                                                                    \
    } while (false)

#endif // TESTSUPPORT_H
