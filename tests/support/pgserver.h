#ifndef PGSERVER_H
#define PGSERVER_H

#include "sqlserver.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

// A throw-away PostgreSQL cluster owned by one test: initdb into a temporary
// directory, the server on a free loopback port with its unix socket in that
// directory, one database and one password-protected user. When the process
// runs as root, the server runs as the "postgres" account, which initdb needs.
// The server is stopped when the object dies; a small watchdog stops it and
// removes the directory even when the test process is killed.
class PgServer : public SqlServer
{
public:
    PgServer();
    ~PgServer() override;
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    // Why no server can be made here (the Debian package that is missing), or
    // an empty string when the binaries and the client driver are present.
    static QString unavailableReason();

    // initdb, start, create the user and the database. On failure *error says why.
    bool setUp(QString *error) override;
    // A streaming standby of primary instead (pg_basebackup -R), read-only
    // until promoted; started like setUp's server.
    bool setUpStandby(const PgServer &primary, QString *error);
    // The standby takes writes from now on (pg_ctl promote).
    bool promote(QString *error) { return pgCtl({QStringLiteral("promote"), QStringLiteral("-w")}, error); }
    bool start(QString *error = nullptr) override;
    bool stop(QString *error = nullptr) override;
    // Restarts the server with TLS on, its certificate and key the PEM files given.
    bool enableTls(const QString &certificate, const QString &key, QString *error);
    bool isRunning() const { return m_running; }
    // The postmaster and every process it started.
    QStringList processes() const override;

    QString driver() const override { return QStringLiteral("QPSQL"); }
    quint16 port() const override { return m_port; }
    QString database() const override { return QStringLiteral("agentdb"); }

    // Runs each statement as the test user over the unix socket (no password
    // needed there). On failure *error holds the statement and the error.
    bool run(const QStringList &statements, QString *error = nullptr) const;

private:
    bool pgCtl(const QStringList &args, QString *error);
    bool runAs(const QString &program, const QStringList &args, QString *error, int timeoutMs);
    bool runStatements(const QString &user, const QString &database,
                       const QStringList &statements, QString *error) const;
    void startWatchdog();

    QTemporaryDir m_dir;
    QString m_bin;
    QString m_tlsOptions; // added to the server's options once TLS is on
    quint16 m_port = 0;
    bool m_running = false;
    bool m_asPostgresUser = false;
    qint64 m_watchdogPid = 0;
};

#endif // PGSERVER_H
