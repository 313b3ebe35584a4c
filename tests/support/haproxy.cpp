#include "haproxy.h"

#include <QFile>
#include <QLocalSocket>
#include <QTest>

Haproxy::~Haproxy()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        m_process.kill();
    m_process.waitForFinished();
}

QByteArray Haproxy::statsSocketLine() const
{
    return "stats socket " + socketPath().toUtf8() + " mode 600 level admin";
}

bool Haproxy::start(const QByteArray &config, QString *error, int waitMs)
{
    const QString path = m_dir.filePath(QStringLiteral("haproxy.cfg"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size()) {
        *error = path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    file.close();
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(HaproxyPath, {QStringLiteral("-db"), QStringLiteral("-f"), path});
    const bool up = m_process.waitForStarted()
        && QTest::qWaitFor(
            [&] { return m_process.state() == QProcess::NotRunning || !stat().isEmpty(); }, waitMs)
        && m_process.state() == QProcess::Running;
    if (!up)
        *error = QStringLiteral("haproxy did not come up: ") + QString::fromLocal8Bit(m_process.readAll());
    return up;
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
