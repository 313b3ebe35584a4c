#include "testsupport.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QMessageBox>
#include <QMutex>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

WorkDir::WorkDir(const QString &subdir)
    : m_path(subdir.isEmpty() ? m_dir.path() : m_dir.filePath(subdir)), m_previous(QDir::currentPath())
{
    const bool entered = m_dir.isValid() && QDir().mkpath(m_path) && QDir::setCurrent(m_path);
    Q_ASSERT(entered); // a test in the wrong directory would read and write another's files
    Q_UNUSED(entered)
}

WorkDir::~WorkDir()
{
    QDir::setCurrent(m_previous);
}

QString WorkDir::filePath(const QString &name) const
{
    return QDir(m_path).filePath(name);
}

QByteArray WorkDir::readFile(const QString &name) const
{
    return ::readFile(filePath(name));
}

void WorkDir::writeIni(const QByteArray &iniText) const
{
    QFile f(filePath(QStringLiteral("tovr_merk.ini")));
    if (f.open(QIODevice::WriteOnly))
        f.write(iniText);
}

BoxDismisser::BoxDismisser(QObject *parent) : QObject(parent)
{
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, &BoxDismisser::poll);
    m_timer.start();
}

QStringList BoxDismisser::texts() const
{
    QStringList out;
    for (const Box &b : boxes)
        out << b.text;
    return out;
}

void BoxDismisser::poll()
{
    const auto widgets = QApplication::topLevelWidgets();
    for (QWidget *w : widgets) {
        auto *box = qobject_cast<QMessageBox *>(w);
        if (!box || !box->isVisible() || box->property("dismissing").toBool())
            continue;
        box->setProperty("dismissing", true);
        boxes.append({box->windowTitle(), box->text(), int(box->icon())});
        QPointer<QMessageBox> guard(box);
        auto press = [guard] {
            if (!guard)
                return;
            QAbstractButton *ok = guard->button(QMessageBox::Ok);
            if (!ok && !guard->buttons().isEmpty())
                ok = guard->buttons().first();
            if (ok)
                ok->click();
        };
        if (m_holdMs > 0)
            QTimer::singleShot(m_holdMs, box, press);
        else
            press();
    }
}

namespace {
struct Captured {
    QtMsgType type;
    QString text;
};
QMutex captureMutex;
QVector<Captured> captured;
QtMessageHandler previousHandler = nullptr;
int captureDepth = 0;

void captureHandler(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    QMutexLocker lock(&captureMutex);
    captured.append({type, msg});
}
} // namespace

MessageCapture::MessageCapture()
{
    QMutexLocker lock(&captureMutex);
    if (captureDepth++ == 0) {
        captured.clear();
        previousHandler = qInstallMessageHandler(captureHandler);
    }
}

MessageCapture::~MessageCapture()
{
    QMutexLocker lock(&captureMutex);
    if (--captureDepth == 0)
        qInstallMessageHandler(previousHandler);
}

static QStringList linesOf(int type)
{
    QMutexLocker lock(&captureMutex);
    QStringList out;
    for (const Captured &c : qAsConst(captured))
        if (type < 0 || c.type == type)
            out << c.text;
    return out;
}

// The agent's failure lines are warnings that start with a tag ("[e] ...") or a
// quoted item (a time stamp, a tagged text); Qt's own warnings start otherwise.
QStringList MessageCapture::debug() const
{
    QMutexLocker lock(&captureMutex);
    QStringList out;
    for (const Captured &c : qAsConst(captured))
        if (c.type == QtDebugMsg
            || ((c.type == QtWarningMsg || c.type == QtCriticalMsg)
                && (c.text.startsWith(QLatin1Char('[')) || c.text.startsWith(QLatin1Char('"')))))
            out << c.text;
    return out;
}
QStringList MessageCapture::warnings() const { return linesOf(QtWarningMsg); }
QStringList MessageCapture::all() const { return linesOf(-1); }

QStringList MessageCapture::debugStartingWith(const QString &prefix) const
{
    QStringList out;
    for (const QString &line : debug())
        if (line.startsWith(prefix))
            out << line;
    return out;
}

bool MessageCapture::containsDebug(const QString &text) const
{
    return indexOfDebug(text) >= 0;
}

int MessageCapture::indexOfDebug(const QString &text, int from) const
{
    const QStringList lines = debug();
    for (int i = from; i < lines.size(); ++i)
        if (lines.at(i) == text)
            return i;
    return -1;
}

void MessageCapture::clear()
{
    QMutexLocker lock(&captureMutex);
    captured.clear();
}

quint16 freePort()
{
    // Below the kernel's ephemeral range (32768 up, as Debian ships it), so
    // no client's outgoing connection takes the port between this probe and
    // the listener a test starts on it; from a random start, so two test
    // processes seldom probe the same ports; never the same port twice in one
    // process, or a test that asks for two would start two listeners on one.
    // A port handed out is also locked (a byte of one file, held until the
    // process ends): ctest runs tests side by side, and a port another one
    // probed free but had not yet listened on would be handed out twice, its
    // checks then answered by the other test's agent.
    static QMutex handedOutMutex;
    static QSet<quint16> handedOut;
    static const int portLocks = ::open(QFile::encodeName(QDir::temp().filePath("tovr_merk_test_ports.lock")).constData(),
                                        O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    constexpr int first = 20000, last = 32767;
    QMutexLocker lock(&handedOutMutex);
    const int start = QRandomGenerator::global()->bounded(first, last + 1);
    for (int i = 0; i <= last - first; ++i) {
        const auto port = quint16(first + (start - first + i) % (last - first + 1));
        struct flock portLock {};
        portLock.l_type = F_WRLCK;
        portLock.l_whence = SEEK_SET;
        portLock.l_start = port;
        portLock.l_len = 1;
        if (handedOut.contains(port) || (portLocks >= 0 && ::fcntl(portLocks, F_SETLK, &portLock) != 0))
            continue;
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, port)) {
            handedOut.insert(port);
            return port;
        }
    }
    return 0;
}

bool accepts(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return probe.waitForConnected(100);
}

QByteArray iniText(const IniValues &values)
{
    QMap<QString, QStringList> sections;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const int slash = it.key().indexOf(QLatin1Char('/'));
        sections[it.key().left(slash)] << it.key().mid(slash + 1) + QLatin1Char('=') + it.value();
    }
    QByteArray out;
    for (auto it = sections.cbegin(); it != sections.cend(); ++it) {
        out += '[' + it.key().toLatin1() + "]\n";
        for (const QString &line : it.value())
            out += line.toLatin1() + '\n';
    }
    return out;
}

IniValues quietAgentSettings(const IniValues &more)
{
    return withValues({
        {QStringLiteral("sql/type"), QStringLiteral("QSQLITE")},
        {QStringLiteral("sql/dsn"), QStringLiteral(":memory:")},
        {QStringLiteral("test/query1"), QStringLiteral("SELECT 1")},
        {QStringLiteral("server/port"), QString::number(freePort())},
        {QStringLiteral("http/port"), QString::number(freePort())},
        {QStringLiteral("app/config_host"), QStringLiteral("127.0.0.1:%1").arg(freePort())},
        {QStringLiteral("app/key2"), QuietCipherKey},
    }, more);
}

QByteArray withIniValues(const QByteArray &ini, const IniValues &values)
{
    IniValues missing = values;
    QStringList out;
    QString section;
    const QStringList lines = QString::fromUtf8(ini).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            section = line.mid(1, line.size() - 2);
        } else if (line.contains(QLatin1Char('='))) {
            const QString key = section + QLatin1Char('/') + line.left(line.indexOf(QLatin1Char('=')));
            if (missing.contains(key)) {
                out << line.left(line.indexOf(QLatin1Char('=')) + 1) + missing.take(key);
                continue;
            }
        }
        out << line;
    }
    return out.join(QLatin1Char('\n')).toUtf8() + '\n' + iniText(missing);
}

QByteArray sourceFile(const QString &path)
{
    return readFile(QStringLiteral(AGENT_SOURCE_DIR "/") + path);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QVector<QJsonObject> auditLines(const QString &path)
{
    QVector<QJsonObject> out;
    for (const QByteArray &line : readFile(path).split('\n'))
        if (!line.isEmpty())
            out << QJsonDocument::fromJson(line).object();
    return out;
}

QStringList auditUsers(const QString &path)
{
    QStringList out;
    for (const QJsonObject &line : auditLines(path))
        out << line.value("user").toString("<broken>");
    return out;
}

bool writeFile(const QString &path, const QByteArray &bytes, QFileDevice::Permissions permissions)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size()
           && f.setPermissions(permissions);
}

QByteArray readmeIni(const QString &driver)
{
    const QString text = QString::fromUtf8(sourceFile(QStringLiteral("README.md")));
    const int section = text.indexOf(QLatin1String("\n## Database\n"));
    if (section < 0)
        return QByteArray();
    const int sectionEnd = text.indexOf(QLatin1String("\n## "), section + 1);
    const QString body = text.mid(section, sectionEnd < 0 ? -1 : sectionEnd - section);
    static const QRegularExpression block(QStringLiteral("```ini\n(.*?)```"),
                                          QRegularExpression::DotMatchesEverythingOption);
    auto it = block.globalMatch(body);
    while (it.hasNext()) {
        const QString ini = it.next().captured(1);
        if (ini.contains(QStringLiteral("\ntype=") + driver + QLatin1Char('\n')))
            return ini.toUtf8();
    }
    return QByteArray();
}

QStringList logMessages(const QByteArray &logFile)
{
    static const QRegularExpression stamp(
        QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d "));
    QStringList out;
    const QStringList lines = QString::fromUtf8(logFile).split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (i == lines.size() - 1 && line.isEmpty())
            break; // after the last line feed
        const QRegularExpressionMatch m = stamp.match(line);
        if (m.hasMatch())
            out << line.mid(m.capturedLength());
        else if (out.isEmpty())
            out << QStringLiteral("<no stamp>");
        else
            out.last() += QLatin1Char('\n') + line; // a message with line feeds inside
    }
    return out;
}

QString debugQuoted(const QString &text)
{
    QString out;
    QDebug(&out).nospace() << text;
    return out;
}

QStringList linesAfter(const QStringList &lines, const QString &line)
{
    const int at = lines.indexOf(line);
    return at < 0 ? QStringList() : lines.mid(at + 1);
}

int lowestFreeDescriptor()
{
    const int probe = ::dup(0);
    ::close(probe);
    return probe;
}

DescriptorLimit::DescriptorLimit()
{
    getrlimit(RLIMIT_NOFILE, &m_saved);
}

bool DescriptorLimit::setTo(rlim_t limit)
{
    rlimit changed = m_saved;
    changed.rlim_cur = limit;
    return setrlimit(RLIMIT_NOFILE, &changed) == 0;
}

void DescriptorLimit::restore()
{
    setrlimit(RLIMIT_NOFILE, &m_saved);
}

QByteArray hexBytes(const char *digits)
{
    return QByteArray::fromHex(QByteArray(digits).replace(' ', ""));
}

StoppedProcesses::StoppedProcesses(const QStringList &pids)
{
    for (const QString &pid : pids) {
        // Never 0 or less: that would stop this process's own group.
        if (pid.toInt() > 0 && ::kill(pid.toInt(), SIGSTOP) == 0)
            stopped << pid.toInt();
    }
}

StoppedProcesses::~StoppedProcesses()
{
    for (int pid : stopped)
        ::kill(pid, SIGCONT);
}

ProgramRun runProgram(const QString &program, const QStringList &arguments, const QByteArray &input, int waitMs)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted())
        return {-1, {}, program.toUtf8() + " did not start: " + process.errorString().toUtf8()};
    process.write(input);
    process.closeWriteChannel();
    const bool ended = QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, waitMs);
    if (!ended) {
        process.kill();
        process.waitForFinished();
    }
    return {ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
        process.readAllStandardOutput(),
        process.readAllStandardError() + (ended ? "" : "<killed after " + QByteArray::number(waitMs) + " ms>")};
}

QByteArray curlFrom(const QString &from, const QString &url, const QStringList &more)
{
    const ProgramRun curl = runProgram("curl", QStringList {"-sS", "--noproxy", "*", "--interface", from, "--max-time", "10", url} + more);
    return curl.out + curl.err;
}

QString makeCertificate(const QString &dir, const QString &keyType)
{
    QStringList args{QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-nodes"),
        QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost"),
        QStringLiteral("-addext"), QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1"),
        QStringLiteral("-keyout"), QDir(dir).filePath(QStringLiteral("key.pem")), QStringLiteral("-out"),
        QDir(dir).filePath(QStringLiteral("cert.pem"))};
    if (keyType.startsWith(QLatin1String("ec:")))
        args << QStringLiteral("-newkey") << QStringLiteral("ec") << QStringLiteral("-pkeyopt")
             << QStringLiteral("ec_paramgen_curve:") + keyType.mid(3);
    else
        args << QStringLiteral("-newkey") << keyType;
    const ProgramRun openssl = runProgram(QStringLiteral("openssl"), args);
    return openssl.exitCode == 0 ? QString() : QStringLiteral("openssl req failed: ") + QString::fromLocal8Bit(openssl.err);
}

IniValues tlsSettings(const QString &dir)
{
    return {{QStringLiteral("https/port"), QString::number(freePort())},
            {QStringLiteral("https/certificate"), QDir(dir).filePath(QStringLiteral("cert.pem"))},
            {QStringLiteral("https/key"), QDir(dir).filePath(QStringLiteral("key.pem"))}};
}
