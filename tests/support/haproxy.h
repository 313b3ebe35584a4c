#ifndef HAPROXY_H
#define HAPROXY_H

// The proxies tests put in front of an agent: HAProxy, nginx and Caddy, as
// Debian installs them, each in the foreground on a configuration of the
// test's in a scratch directory of its own, ended (SIGTERM, then killed) with
// the object.

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <functional>

// Where Debian's haproxy package puts the program; tests skip without it.
inline const QString HaproxyPath = QStringLiteral("/usr/sbin/haproxy");

// A server program run by a test, in its scratch directory.
class ScratchServer
{
public:
    ScratchServer() = default;
    ~ScratchServer();
    ScratchServer(const ScratchServer &) = delete;
    ScratchServer &operator=(const ScratchServer &) = delete;

    QString filePath(const QString &name) const { return dir.filePath(name); }
    // Writes config into the directory as configName, starts the program and
    // waits until ready() holds, processing events (it may wait on an agent of
    // this process); false with *error (its own output) when it ends first or
    // waitMs pass.
    bool start(const QString &program, const QStringList &arguments, const QString &configName,
        const QByteArray &config, const std::function<bool()> &ready, QString *error, int waitMs);

    QTemporaryDir dir;
    QProcess process;
};

// HAProxy, its stats socket in the scratch directory.
class Haproxy
{
public:
    // The config's "stats socket" line; start() waits for this socket.
    QByteArray statsSocketLine() const;

    // Starts it and waits until its stats socket answers; false with *error
    // (HAProxy's own output) when it does not within waitMs.
    bool start(const QByteArray &config, QString *error, int waitMs = 5000);

    // The rows of "show stat", keyed by "proxy/server", each column by the
    // name the header gives it (status, check_status, wretr, wredis, ...).
    QMap<QByteArray, QMap<QByteArray, QByteArray>> stat() const;

private:
    QString socketPath() const { return m_server.filePath(QStringLiteral("stats.sock")); }

    ScratchServer m_server;
};

// nginx or Caddy on the sites a test gives (nginx's server and upstream
// blocks, or Caddy's site blocks). The fixture adds what keeps the program in
// its directory: pid file, logs and temporary files there; for Caddy, no
// admin endpoint, no automatic HTTPS, HOME and XDG_* there.
class WebProxy
{
public:
    enum class Kind { Nginx, Caddy };
    explicit WebProxy(Kind kind) : m_kind(kind) { }

    // Starts it and waits until port, one the sites listen on, accepts.
    bool start(const QByteArray &sites, quint16 port, QString *error, int waitMs = 10000);

private:
    Kind m_kind;
    ScratchServer m_server;
};

#endif // HAPROXY_H
