#include "pgserver.h"
#include "sqlfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QVersionNumber>

#include <csignal>
#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

namespace {
constexpr int InitTimeoutMs = 120000;
constexpr int CtlTimeoutMs = 60000;
const QString DataDir = QStringLiteral("data");

// The newest /usr/lib/postgresql/<version>/bin that holds initdb and pg_ctl.
QString findBinDir()
{
    const QDir root(QStringLiteral("/usr/lib/postgresql"));
    QString best;
    QVersionNumber bestVersion;
    const QStringList versions = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &v : versions) {
        const QString bin = root.filePath(v + QStringLiteral("/bin"));
        if (!QFileInfo(bin + QStringLiteral("/initdb")).isExecutable()
            || !QFileInfo(bin + QStringLiteral("/pg_ctl")).isExecutable())
            continue;
        const QVersionNumber version = QVersionNumber::fromString(v);
        if (best.isEmpty() || version > bestVersion) {
            best = bin;
            bestVersion = version;
        }
    }
    return best;
}
} // namespace

PgServer::PgServer()
    : m_dir(QDir::tempPath() + QStringLiteral("/agent-pg-XXXXXX")), m_bin(findBinDir())
{
}

PgServer::~PgServer()
{
    if (m_running)
        stop();
    if (m_watchdogPid > 0)
        ::kill(pid_t(m_watchdogPid), SIGTERM);
}

QString PgServer::unavailableReason()
{
    if (findBinDir().isEmpty())
        return QStringLiteral("no initdb/pg_ctl under /usr/lib/postgresql: "
                              "install the Debian package postgresql");
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
        return QStringLiteral("no QPSQL driver: install the Debian package libqt5sql5-psql");
    if (::geteuid() == 0 && !::getpwnam("postgres"))
        return QStringLiteral("running as root but there is no postgres account: "
                              "install the Debian package postgresql");
    return QString();
}

bool PgServer::runAs(const QString &program, const QStringList &args, QString *error,
                     int timeoutMs)
{
    QProcess proc;
    proc.setWorkingDirectory(m_dir.path()); // the postgres account may not enter ours
    proc.setProcessChannelMode(QProcess::MergedChannels);
    if (m_asPostgresUser)
        proc.start(QStringLiteral("runuser"),
                   QStringList{QStringLiteral("-u"), QStringLiteral("postgres"),
                               QStringLiteral("--"), program} + args);
    else
        proc.start(program, args);
    const bool finished = proc.waitForFinished(timeoutMs);
    if (finished && proc.exitStatus() == QProcess::NormalExit && proc.exitCode() == 0)
        return true;
    if (!finished)
        proc.kill();
    if (error)
        *error = QStringLiteral("%1 %2 failed: %3")
                     .arg(program, args.join(QLatin1Char(' ')),
                          QString::fromLocal8Bit(proc.readAll()) + proc.errorString());
    return false;
}

bool PgServer::pgCtl(const QStringList &args, QString *error)
{
    return runAs(m_bin + QStringLiteral("/pg_ctl"),
                 QStringList{QStringLiteral("-D"), m_dir.filePath(DataDir)} + args, error,
                 CtlTimeoutMs);
}

bool PgServer::setUp(QString *error)
{
    if (!m_dir.isValid()) {
        *error = QStringLiteral("cannot create a temporary directory: ") + m_dir.errorString();
        return false;
    }
    if (m_bin.isEmpty()) {
        *error = unavailableReason();
        return false;
    }
    if (::geteuid() == 0) {
        // initdb refuses to run as root.
        const passwd *pw = ::getpwnam("postgres");
        if (!pw || ::chown(QFile::encodeName(m_dir.path()).constData(), pw->pw_uid, pw->pw_gid) != 0) {
            *error = QStringLiteral("cannot hand %1 to the postgres account").arg(m_dir.path());
            return false;
        }
        m_asPostgresUser = true;
    }
    m_port = freePort();
    const QStringList initArgs{
        QStringLiteral("-D"), m_dir.filePath(DataDir), QStringLiteral("-U"), QStringLiteral("postgres"),
        QStringLiteral("--auth-local=trust"), QStringLiteral("--auth-host=scram-sha-256"),
        QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--locale=C"),
        QStringLiteral("--no-sync")};
    if (!runAs(m_bin + QStringLiteral("/initdb"), initArgs, error, InitTimeoutMs))
        return false;
    startWatchdog();
    if (!start(error))
        return false;
    return runStatements(QStringLiteral("postgres"), QStringLiteral("postgres"),
                         {QStringLiteral("CREATE ROLE %1 LOGIN PASSWORD '%2'").arg(user(), password()),
                          QStringLiteral("CREATE DATABASE %1 OWNER %2").arg(database(), user())},
                         error);
}

bool PgServer::setUpStandby(const PgServer &primary, QString *error)
{
    if (!m_dir.isValid() || m_bin.isEmpty()) {
        *error = m_bin.isEmpty() ? unavailableReason() : m_dir.errorString();
        return false;
    }
    const passwd *pw = ::geteuid() == 0 ? ::getpwnam("postgres") : nullptr;
    if (::geteuid() == 0 && (!pw || ::chown(QFile::encodeName(m_dir.path()).constData(), pw->pw_uid, pw->pw_gid) != 0)) {
        *error = QStringLiteral("cannot hand %1 to the postgres account").arg(m_dir.path());
        return false;
    }
    m_asPostgresUser = pw;
    m_port = freePort();
    // initdb's rules let the postgres account replicate over the primary's unix socket.
    if (!runAs(m_bin + QStringLiteral("/pg_basebackup"),
               {QStringLiteral("-D"), m_dir.filePath(DataDir), QStringLiteral("-h"), primary.m_dir.path(),
                QStringLiteral("-p"), QString::number(primary.m_port), QStringLiteral("-U"),
                QStringLiteral("postgres"), QStringLiteral("-R"), QStringLiteral("--no-sync")},
               error, InitTimeoutMs))
        return false;
    startWatchdog();
    return start(error);
}

bool PgServer::start(QString *error)
{
    const QString options = QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off")
                                .arg(m_port)
                                .arg(m_dir.path())
                            + m_tlsOptions;
    m_running = pgCtl({QStringLiteral("-l"), m_dir.filePath(QStringLiteral("server.log")),
                       QStringLiteral("-w"), QStringLiteral("-o"), options, QStringLiteral("start")},
                      error);
    return m_running;
}

bool PgServer::stop(QString *error)
{
    // "fast" ends the sessions at once, the way a database restart does.
    const bool ok = pgCtl({QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("-w"),
                           QStringLiteral("stop")},
                          error);
    if (ok)
        m_running = false;
    return ok;
}

bool PgServer::run(const QStringList &statements, QString *error) const
{
    return runStatements(user(), database(), statements, error);
}

bool PgServer::runStatements(const QString &asUser, const QString &inDatabase,
                             const QStringList &statements, QString *error) const
{
    const QString failure = runSql(QStringLiteral("QPSQL"), [&](QSqlDatabase &admin) {
        admin.setHostName(m_dir.path()); // a directory: the unix socket in it
        admin.setPort(m_port);
        admin.setDatabaseName(inDatabase);
        admin.setUserName(asUser);
    }, statements);
    if (error && !failure.isEmpty())
        *error = failure;
    return failure.isEmpty();
}

void PgServer::startWatchdog()
{
    // Waits for this process to end, then takes the server and its files with it.
    const QString stopCommand = QStringLiteral("%1\"$2/pg_ctl\" -D \"$3/%2\" -m immediate stop")
                                    .arg(m_asPostgresUser ? QStringLiteral("runuser -u postgres -- ")
                                                          : QString(),
                                         DataDir);
    const QString script = QStringLiteral(
        "exec </dev/null >/dev/null 2>&1; cd /; "
        "while kill -0 \"$1\"; do sleep 1; done; %1; rm -rf \"$3\"").arg(stopCommand);
    QProcess::startDetached(QStringLiteral("sh"),
                            {QStringLiteral("-c"), script, QStringLiteral("pgserver-watchdog"),
                             QString::number(QCoreApplication::applicationPid()), m_bin,
                             m_dir.path()},
                            QString(), &m_watchdogPid);
}

bool PgServer::enableTls(const QString &certificate, const QString &key, QString *error)
{
    // The server reads them as its own account, and wants the key readable by it alone.
    const QString ownCertificate = m_dir.filePath(QStringLiteral("server.crt"));
    const QString ownKey = m_dir.filePath(QStringLiteral("server.key"));
    for (const auto &[from, to] : {std::pair{certificate, ownCertificate}, std::pair{key, ownKey}}) {
        QFile::remove(to);
        if (!QFile::copy(from, to)) {
            *error = QStringLiteral("cannot copy %1 to %2").arg(from, to);
            return false;
        }
    }
    QFile::setPermissions(ownKey, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (m_asPostgresUser) {
        const passwd *pw = ::getpwnam("postgres");
        for (const QString &file : {ownCertificate, ownKey})
            if (!pw || ::chown(QFile::encodeName(file).constData(), pw->pw_uid, pw->pw_gid) != 0) {
                *error = QStringLiteral("cannot hand %1 to the postgres account").arg(file);
                return false;
            }
    }
    m_tlsOptions = QStringLiteral(" -c ssl=on -c ssl_cert_file=%1 -c ssl_key_file=%2").arg(ownCertificate, ownKey);
    return stop(error) && start(error);
}

QStringList PgServer::processes() const
{
    QFile pidFile(m_dir.filePath(DataDir + QStringLiteral("/postmaster.pid")));
    if (!pidFile.open(QIODevice::ReadOnly))
        return {};
    const QString postmaster = QString::fromLatin1(pidFile.readLine()).trimmed();
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(postmaster));
    children.open(QIODevice::ReadOnly);
    return QStringList{postmaster} + QString::fromLatin1(children.readAll()).split(' ', Qt::SkipEmptyParts);
}
