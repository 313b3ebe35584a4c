#ifndef SQLSERVER_H
#define SQLSERVER_H

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

// A database server of the test's own, on loopback, with the database that
// database() names and the user "agent". Stopped when the object dies; a
// watchdog stops it and removes its files even when the test is killed.
class SqlServer
{
public:
    virtual ~SqlServer() = default;

    // Makes the server's files, starts it, creates the user and the database.
    virtual bool setUp(QString *error) = 0;
    virtual bool start(QString *error = nullptr) = 0;
    // Shuts it down the way an administrator does: open sessions end.
    virtual bool stop(QString *error = nullptr) = 0;
    virtual bool isRunning() const = 0;
    // The processes that serve sessions, for a test to stop (SIGSTOP).
    virtual QStringList processes() const = 0;

    // The Qt driver that speaks to it natively, and the connection settings.
    virtual QString driver() const = 0;
    virtual quint16 port() const = 0;
    virtual QString database() const = 0;
    QString user() const { return QStringLiteral("agent"); }
    QString password() const { return QStringLiteral("s3cret-Pw"); }
};

// A MariaDB or Firebird server, made and run by tests/support/dbserver.sh
// (which the benchmark uses too).
class ScriptedServer : public SqlServer
{
public:
    enum class Kind { MariaDb, Firebird };
    explicit ScriptedServer(Kind kind);
    ~ScriptedServer() override;

    // Why no server can be made here (the Debian package that is missing), or empty.
    static QString unavailableReason(Kind kind);

    bool setUp(QString *error) override;
    bool start(QString *error = nullptr) override;
    bool stop(QString *error = nullptr) override;
    bool isRunning() const override { return m_running; }
    QStringList processes() const override;
    QString driver() const override;
    quint16 port() const override { return m_port; }
    QString database() const override;

private:
    bool script(const QStringList &args, QString *error, QString *output = nullptr) const;

    Kind m_kind;
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    bool m_running = false;
};

#endif // SQLSERVER_H
