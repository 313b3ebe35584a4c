#ifndef HAPROXY_H
#define HAPROXY_H

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Where Debian's haproxy package puts the program; tests skip without it.
inline const QString HaproxyPath = QStringLiteral("/usr/sbin/haproxy");

// HAProxy in the foreground on a config of the test's, its stats socket in a
// scratch directory. Ended (SIGTERM, then killed) with the object.
class Haproxy
{
public:
    Haproxy() = default;
    ~Haproxy();
    Haproxy(const Haproxy &) = delete;
    Haproxy &operator=(const Haproxy &) = delete;

    // The config's "stats socket" line; start() waits for this socket.
    QByteArray statsSocketLine() const;

    // Starts it and waits until its stats socket answers; false with *error
    // (HAProxy's own output) when it does not within waitMs.
    bool start(const QByteArray &config, QString *error, int waitMs = 5000);

    // The rows of "show stat", keyed by "proxy/server", each column by the
    // name the header gives it (status, check_status, wretr, wredis, ...).
    QMap<QByteArray, QMap<QByteArray, QByteArray>> stat() const;

private:
    QString socketPath() const { return m_dir.filePath(QStringLiteral("stats.sock")); }

    QTemporaryDir m_dir;
    QProcess m_process;
};

#endif // HAPROXY_H
