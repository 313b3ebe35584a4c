#include "sqlserver.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QProcess>

bool ScriptedServer::script(const QStringList &command, QString *error, QString *output) const
{
    QProcess proc;
    proc.setProcessChannelMode(QProcess::MergedChannels);
    proc.start(QStringLiteral("bash"), QStringList{QStringLiteral(AGENT_SOURCE_DIR "/tests/support/dbserver.sh"),
                                                   m_kind == Kind::MariaDb ? "mariadb" : "firebird",
                                                   m_dir.filePath(QStringLiteral("server"))}
                                           + command);
    const bool ok = proc.waitForFinished(ScriptTimeoutMs) && proc.exitStatus() == QProcess::NormalExit && proc.exitCode() == 0;
    const QString said = QString::fromLocal8Bit(proc.readAll()).trimmed();
    if (output)
        *output = said;
    if (!ok && error)
        *error = QStringLiteral("dbserver.sh %1 failed: %2").arg(command.join(QLatin1Char(' ')), said);
    return ok;
}

bool ScriptedServer::setUp(QString *error)
{
    m_port = freePort();
    return script({QStringLiteral("setup"), QString::number(m_port), QString::number(QCoreApplication::applicationPid())},
                  error);
}

QStringList ScriptedServer::processes() const
{
    QString pid;
    script({QStringLiteral("pid")}, nullptr, &pid);
    return {pid};
}

QString ScriptedServer::database() const
{
    return m_kind == Kind::MariaDb ? QStringLiteral("agentdb") : m_dir.filePath(QStringLiteral("server/agent.fdb"));
}
