#include "agent.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTest>

#include <csignal>
#include <sys/types.h>

AgentLimits shortLimits()
{
    AgentLimits limits;
    limits.http.requestTimeoutMs = ShortLimits::RequestTimeoutMs;
    limits.lookup.inputWaitMs = ShortLimits::InputWaitMs;
    limits.provisioningReplyMs = ShortLimits::ProvisioningReplyMs;
    limits.database.reopenIntervalMs = ShortLimits::ReopenIntervalMs;
    return limits;
}

Agent::Agent(const AgentLimits &agentLimits, const QString &subdir) : work(subdir), limits(agentLimits)
{
    QGuiApplication::setApplicationDisplayName(AgentTitle);
}

Agent::~Agent()
{
    stop();
}

void Agent::stop()
{
    server.reset();
    // Every Server adds the default connection; the next one would warn about a duplicate.
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
}

Server &Agent::start(const IniValues &iniValues)
{
    values = iniValues;
    return start(iniText(values));
}

Server &Agent::start(const QByteArray &ini)
{
    work.writeIni(ini);
    return restart();
}

Server &Agent::restart()
{
    stop();
    server = std::make_unique<Server>(limits);
    return *server;
}

AgentProcess::AgentProcess(const IniValues &iniValues) : values(iniValues), ini(iniText(iniValues))
{
    QDir root(m_dir.path());
    QFile file(iniPath());
    const bool laidOut = m_dir.isValid() && root.mkpath(QStringLiteral("work")) && root.mkpath(QStringLiteral("config"))
                         && root.mkpath(QStringLiteral("home")) && file.open(QIODevice::WriteOnly)
                         && file.write(ini) == ini.size();
    Q_ASSERT(laidOut);
    Q_UNUSED(laidOut)
}

AgentProcess::~AgentProcess()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        ::kill(pid_t(m_process->processId()), SIGCONT);
        m_process->kill();
        m_process->waitForFinished();
    }
}

QString AgentProcess::iniPath() const
{
    return QDir(workPath()).filePath(QStringLiteral("tovr_merk.ini"));
}

QString AgentProcess::storePath() const
{
    return m_dir.filePath(QStringLiteral("config/Unknown Organization/tovr_merk_agent.conf"));
}

bool AgentProcess::start(int waitMs)
{
    m_process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_dir.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (auto it = environment.cbegin(); it != environment.cend(); ++it)
        env.insert(it.key(), it.value());
    m_process->setProcessEnvironment(env);
    m_process->setWorkingDirectory(workPath());
    m_process->setStandardOutputFile(QProcess::nullDevice());
    standardError.clear();
    connect(m_process.get(), &QProcess::readyReadStandardError, this,
            [this] { standardError += m_process->readAllStandardError(); });
    if (launchPrefix.isEmpty())
        m_process->start(program, QStringList());
    else
        m_process->start(launchPrefix.first(), launchPrefix.mid(1) << program);
    if (!m_process->waitForStarted())
        return false;
    const QString log = QDir(workPath()).filePath(QStringLiteral("debug-log.txt"));
    return QTest::qWaitFor([&] { return QFile(log).size() > 0; }, waitMs);
}

int AgentProcess::exitCode(int waitMs)
{
    if (!QTest::qWaitFor([&] { return m_process->state() == QProcess::NotRunning; }, waitMs))
        return -1;
    return m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
}

bool AgentProcess::signalEndsCleanly(int signalNumber, int waitMs)
{
    if (::kill(pid_t(m_process->processId()), signalNumber) != 0)
        return false;
    if (!QTest::qWaitFor([&] { return m_process->state() == QProcess::NotRunning; }, waitMs))
        return false;
    return m_process->exitStatus() == QProcess::NormalExit && m_process->exitCode() == 0;
}

namespace {
// The fields of /proc/<pid>/stat after "pid (comm) ": the state first.
QByteArrayList statFields(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    return close > 0 ? line.mid(close + 2).split(' ') : QByteArrayList();
}
} // namespace

bool AgentProcess::isStopped() const
{
    return statFields(m_process->processId()).value(0) == "T";
}

qint64 AgentProcess::cpuMicroseconds() const
{
    const QByteArrayList fields = statFields(m_process->processId());
    const qint64 ticks = fields.value(11).toLongLong() + fields.value(12).toLongLong(); // utime, stime
    return ticks * 1000000 / ::sysconf(_SC_CLK_TCK);
}

QString AgentProcess::outcome() const
{
    if (!m_process)
        return QStringLiteral("not started");
    return QStringLiteral("%1 %2 (%3); last output:\n%4")
        .arg(m_process->exitStatus() == QProcess::NormalExit ? "exit code" : "crashed, signal")
        .arg(m_process->exitCode())
        .arg(m_process->errorString(), QString::fromLocal8Bit(standardError.right(1500)));
}
