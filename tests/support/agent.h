#ifndef AGENT_H
#define AGENT_H

// The one way tests start an agent: in this process (Agent, a real Server
// under the offscreen platform) or as the real executable (AgentProcess), each
// on an INI in a scratch working directory.

#include "serveraccess.h"
#include "testsupport.h"

#include "app/server.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// The window title main() gives the program.
inline const QString AgentTitle = QStringLiteral("TOVR/MERK SQL Agent (checker) v3");

// ---- Short limits -----------------------------------------------------------
// What the in-process agent runs with unless a test passes others: every
// time-out short, so no test waits out the program's 10 s / 3 s / 10 s. A test
// that waits one out asserts against the value it passed.
namespace ShortLimits {
constexpr int RequestTimeoutMs = 400;   // Http::Limits::requestTimeoutMs
constexpr int InputWaitMs = 400;        // Lookup::Limits::inputWaitMs
constexpr int ProvisioningReplyMs = 400; // AgentLimits::provisioningReplyMs
constexpr int ReopenIntervalMs = 1500;  // Database::Limits::reopenIntervalMs
} // namespace ShortLimits
AgentLimits shortLimits();

// ---- In-process agent -------------------------------------------------------
// A fresh working directory (made current) and a Server started in it on the
// INI written there. Message boxes are recorded and dismissed. The Server dies
// before the directory does.
class Agent
{
public:
    explicit Agent(const AgentLimits &limits = shortLimits(), const QString &subdir = QString());
    ~Agent();
    Agent(const Agent &) = delete;
    Agent &operator=(const Agent &) = delete;

    // Writes the INI and starts a Server on it; one already running is ended first.
    Server &start(const IniValues &values);
    Server &start(const QByteArray &ini);
    // Starts a Server on the INI already in the working directory.
    Server &restart();
    // Ends the Server, and lets go of the database connection it made.
    void stop();

    // The ports named in values (set by start(values), or by the test).
    quint16 httpPort() const { return port(QStringLiteral("http/port")); }
    quint16 lookupPort() const { return port(QStringLiteral("server/port")); }
    quint16 port(const QString &key) const { return quint16(values.value(key).toUInt()); }

    ServerInspector inspect() const { return ServerInspector(*server); }
    QStringList log() const { return logMessages(work.readFile(QStringLiteral("debug-log.txt"))); }

    WorkDir work;
    BoxDismisser boxes;
    AgentLimits limits;
    IniValues values;
    std::unique_ptr<Server> server;
};

// An in-process agent started on the given settings, its messages captured
// from before the start.
struct StartedAgent
{
    explicit StartedAgent(const IniValues &settings) : s(agent.start(settings)) {}
    quint16 port(const QString &key) const { return agent.port(key); }

    MessageCapture messages;
    Agent agent;
    const IniValues &values = agent.values;
    BoxDismisser &boxes = agent.boxes;
    ServerInspector s;
};

// ---- The executable ---------------------------------------------------------
// The tovr_merk_agent program, started the way a supervisor starts it: its
// own working directory with the INI, its own HOME and per-user store, and
// the offscreen platform. A process still running at the end is killed.
class AgentProcess : public QObject
{
public:
    explicit AgentProcess(const IniValues &values = quietAgentSettings());
    ~AgentProcess() override;

    // Starts the program and waits for its first log line, which it writes once
    // its signal handlers are in place. False, with outcome() saying why, when not.
    bool start(int waitMs = 20000);
    // Sends the signal; true when the program then left its event loop
    // normally, with exit code 0, within waitMs.
    bool signalEndsCleanly(int signalNumber, int waitMs = 20000);
    // True while the process is stopped (SIGSTOP).
    bool isStopped() const;
    // The CPU time (user and system) the process has used so far.
    qint64 cpuMicroseconds() const;
    // How the program ended, and the end of what it printed.
    QString outcome() const;

    QProcess &process() { return *m_process; }
    qint64 pid() const { return m_process->processId(); }
    QString workPath() const { return m_dir.filePath(QStringLiteral("work")); }
    QString iniPath() const;
    // The per-user store, which names no organisation or application.
    QString storePath() const;
    quint16 port(const QString &key) const { return quint16(values.value(key).toUInt()); }

    const IniValues values;
    const QByteArray ini;
    QByteArray standardError; // the program's debug output so far
    // The program to run: the build's agent, or another copy of it (an installed one).
    QString program = QStringLiteral(AGENT_PATH);
    // Run the program through this command, which must exec it with the same
    // process id (for example {"prlimit", "--nofile=1024:1024", "--"}).
    QStringList launchPrefix;
    // Set in the program's environment on top of the test's own.
    QMap<QString, QString> environment;
    // Waits for the program to end by itself; its exit code, or -1 when it
    // did not end within waitMs or crashed.
    int exitCode(int waitMs);

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
};

#endif // AGENT_H
