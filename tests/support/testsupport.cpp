#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QMutex>
#include <QPointer>
#include <QPushButton>
#include <QTcpServer>
#include <QElapsedTimer>

WorkDir::WorkDir(const QByteArray &iniText, bool writeIniFile)
    : m_previous(QDir::currentPath())
{
    Q_ASSERT(m_dir.isValid());
    QDir::setCurrent(m_dir.path());
    if (writeIniFile)
        writeIni(iniText);
}

WorkDir::~WorkDir()
{
    QDir::setCurrent(m_previous);
}

QByteArray WorkDir::readFile(const QString &name) const
{
    QFile f(filePath(name));
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
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

QStringList MessageCapture::debug() const { return linesOf(QtDebugMsg); }
QStringList MessageCapture::warnings() const { return linesOf(QtWarningMsg); }
QStringList MessageCapture::all() const { return linesOf(-1); }

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
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
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

IniValues quietAgentSettings()
{
    return {
        {QStringLiteral("sql/type"), QStringLiteral("QSQLITE")},
        {QStringLiteral("sql/dsn"), QStringLiteral(":memory:")},
        {QStringLiteral("test/query1"), QStringLiteral("SELECT 1")},
        {QStringLiteral("server/port"), QString::number(freePort())},
        {QStringLiteral("http/port"), QString::number(freePort())},
        {QStringLiteral("app/config_host"), QStringLiteral("127.0.0.1:%1").arg(freePort())},
        // base64 of the 32 bytes 0x00..0x1f
        {QStringLiteral("app/key2"), QStringLiteral("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=")},
    };
}
