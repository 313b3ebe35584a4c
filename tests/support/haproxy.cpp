#include "haproxy.h"

#include "testsupport.h"

#include <QLocalSocket>
#include <QTest>

#include <unistd.h>

ScratchServer::~ScratchServer()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000))
        process.kill();
    process.waitForFinished();
}

bool ScratchServer::start(const QString &program, const QStringList &arguments, const QString &configName,
    const QByteArray &config, const std::function<bool()> &ready, QString *error, int waitMs)
{
    if (!writeFile(filePath(configName), config)) {
        *error = filePath(configName) + QStringLiteral(" cannot be written");
        return false;
    }
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool up = process.waitForStarted()
        && QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning || ready(); }, waitMs)
        && process.state() == QProcess::Running;
    if (!up)
        *error = program + QStringLiteral(" did not come up: ") + QString::fromLocal8Bit(process.readAll());
    return up;
}

QByteArray Haproxy::statsSocketLine() const
{
    return "stats socket " + socketPath().toUtf8() + " mode 600 level admin";
}

bool Haproxy::start(const QByteArray &config, QString *error, int waitMs)
{
    return m_server.start(
        HaproxyPath, {"-db", "-f", m_server.filePath("haproxy.cfg")}, "haproxy.cfg", config,
        [this] { return !stat().isEmpty(); }, error, waitMs);
}

QMap<QByteArray, QMap<QByteArray, QByteArray>> Haproxy::stat() const
{
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(1000))
        return {};
    socket.write("show stat\n");
    QByteArray text;
    while (socket.waitForReadyRead(1000))
        text += socket.readAll();
    text += socket.readAll();
    QMap<QByteArray, QMap<QByteArray, QByteArray>> rows;
    const QByteArrayList lines = text.split('\n');
    if (!lines.first().startsWith("# "))
        return rows;
    const QByteArrayList names = lines.first().mid(2).split(',');
    for (const QByteArray &line : lines.mid(1)) {
        const QByteArrayList values = line.split(',');
        if (values.size() < 2)
            continue;
        QMap<QByteArray, QByteArray> &row = rows[values[0] + '/' + values[1]];
        for (int i = 0; i < qMin(names.size(), values.size()); ++i)
            row[names[i]] = values[i];
    }
    return rows;
}

bool WebProxy::start(const QByteArray &sites, quint16 port, QString *error, int waitMs)
{
    const auto listens = [port] { return accepts(port); };
    const QString dir = m_server.dir.path();
    if (m_kind == Kind::Caddy) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *variable : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
            environment.insert(variable, dir);
        m_server.process.setProcessEnvironment(environment);
        return m_server.start("/usr/bin/caddy",
            {"run", "--config", dir + "/Caddyfile", "--adapter", "caddyfile"}, "Caddyfile",
            "{\n\tadmin off\n\tauto_https off\n}\n" + sites, listens, error, waitMs);
    }
    // Without "user", workers would run as nobody, and find no way into the
    // scratch directory of a test run as root.
    QByteArray config = geteuid() == 0 ? "user root;\n" : "";
    config += "pid DIR/nginx.pid;\nevents {}\nhttp {\naccess_log off;\n";
    for (const char *temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        config += QByteArray(temp) + "_temp_path DIR/" + temp + ";\n";
    return m_server.start("/usr/sbin/nginx",
        {"-p", dir, "-e", "stderr", "-c", dir + "/nginx.conf", "-g", "daemon off;"}, "nginx.conf",
        config.replace("DIR", dir.toUtf8()) + sites + "}\n", listens, error, waitMs);
}
