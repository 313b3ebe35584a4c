#ifndef SQLSERVER_H
#define SQLSERVER_H

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

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
    // The processes that serve sessions, for a test to stop (SIGSTOP).
    virtual QStringList processes() const = 0;
    // The Qt driver that speaks to it natively, and where it is.
    virtual QString driver() const = 0;
    virtual quint16 port() const = 0;
    virtual QString database() const = 0;
    QString user() const { return QStringLiteral("agent"); }
    QString password() const { return QStringLiteral("s3cret-Pw"); }
};

// A MariaDB or Firebird server, made and run by tests/support/dbserver.sh,
// which the benchmark uses too.
class ScriptedServer : public SqlServer
{
public:
    enum class Kind { MariaDb, Firebird };
    explicit ScriptedServer(Kind kind) : m_kind(kind) { }
    ~ScriptedServer() override { stop(); }

    bool setUp(QString *error) override;
    bool start(QString *error = nullptr) override { return script({QStringLiteral("start")}, error); }
    bool stop(QString *error = nullptr) override { return script({QStringLiteral("stop")}, error); }
    QStringList processes() const override;
    QString driver() const override { return m_kind == Kind::MariaDb ? "QMYSQL" : "QIBASE"; }
    quint16 port() const override { return m_port; }
    QString database() const override;

private:
    static constexpr int ScriptTimeoutMs = 60000; // a set-up, a start, a clean stop

    // Runs the script's command; its output in *output, or in *error when it fails.
    bool script(const QStringList &command, QString *error, QString *output = nullptr) const;

    Kind m_kind;
    QTemporaryDir m_dir;
    quint16 m_port = 0;
};

#endif // SQLSERVER_H
