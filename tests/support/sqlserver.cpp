#include "sqlserver.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSqlDatabase>
#include <QStandardPaths>

namespace {
constexpr int ScriptTimeoutMs = 60000;

QString kindName(ScriptedServer::Kind kind)
{
    return kind == ScriptedServer::Kind::MariaDb ? QStringLiteral("mariadb") : QStringLiteral("firebird");
}
} // namespace

ScriptedServer::ScriptedServer(Kind kind)
    : m_kind(kind), m_dir(QDir::tempPath() + QStringLiteral("/agent-db-XXXXXX"))
{
}

ScriptedServer::~ScriptedServer()
{
    if (m_running)
        stop();
}

QString ScriptedServer::unavailableReason(Kind kind)
{
    const bool maria = kind == Kind::MariaDb;
    const QString server = maria ? QStringLiteral("mariadbd") : QStringLiteral("isql-fb");
    if (QStandardPaths::findExecutable(server, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")}).isEmpty())
        return QStringLiteral("no %1: install the Debian package %2")
            .arg(server, maria ? QStringLiteral("mariadb-server") : QStringLiteral("firebird3.0-server"));
    if (!QSqlDatabase::isDriverAvailable(maria ? QStringLiteral("QMYSQL") : QStringLiteral("QIBASE")))
        return QStringLiteral("no Qt driver: install the Debian package %1")
            .arg(maria ? QStringLiteral("libqt5sql5-mysql") : QStringLiteral("libqt5sql5-ibase"));
    return QString();
}

bool ScriptedServer::script(const QStringList &args, QString *error, QString *output) const
{
    QProcess proc;
    proc.setProcessChannelMode(QProcess::MergedChannels);
    proc.start(QStringLiteral("bash"), QStringList{QStringLiteral(AGENT_SOURCE_DIR "/tests/support/dbserver.sh"),
                                                   kindName(m_kind), m_dir.filePath(QStringLiteral("server"))}
                                           + args);
    const bool finished = proc.waitForFinished(ScriptTimeoutMs);
    const QString said = QString::fromLocal8Bit(proc.readAll()).trimmed();
    if (output)
        *output = said;
    if (finished && proc.exitStatus() == QProcess::NormalExit && proc.exitCode() == 0)
        return true;
    if (!finished)
        proc.kill();
    if (error)
        *error = QStringLiteral("dbserver.sh %1 %2 failed: %3").arg(kindName(m_kind), args.join(QLatin1Char(' ')), said);
    return false;
}

bool ScriptedServer::setUp(QString *error)
{
    if (!m_dir.isValid()) {
        *error = QStringLiteral("cannot create a temporary directory: ") + m_dir.errorString();
        return false;
    }
    m_port = freePort();
    m_running = script({QStringLiteral("setup"), QString::number(m_port),
                        QString::number(QCoreApplication::applicationPid())},
                       error);
    return m_running;
}

bool ScriptedServer::start(QString *error)
{
    m_running = script({QStringLiteral("start")}, error);
    return m_running;
}

bool ScriptedServer::stop(QString *error)
{
    const bool ok = script({QStringLiteral("stop")}, error);
    if (ok)
        m_running = false;
    return ok;
}

QStringList ScriptedServer::processes() const
{
    QString pid;
    script({QStringLiteral("pid")}, nullptr, &pid);
    return {pid};
}

QString ScriptedServer::driver() const
{
    return m_kind == Kind::MariaDb ? QStringLiteral("QMYSQL") : QStringLiteral("QIBASE");
}

QString ScriptedServer::database() const
{
    return m_kind == Kind::MariaDb ? QStringLiteral("agentdb")
                                   : m_dir.filePath(QStringLiteral("server/agent.fdb"));
}
