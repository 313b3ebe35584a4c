#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QVector>
#include <QtGlobal>

// A fresh temporary working directory, made current for the object's lifetime,
// optionally holding a tovr_merk.ini with the given text.
class WorkDir
{
public:
    explicit WorkDir(const QByteArray &iniText = QByteArray(), bool writeIni = true);
    ~WorkDir();
    WorkDir(const WorkDir &) = delete;
    WorkDir &operator=(const WorkDir &) = delete;

    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }
    QByteArray readFile(const QString &name) const;
    void writeIni(const QByteArray &iniText) const;

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

// Watches for message boxes, records their title and text and presses OK.
// Works inside the nested event loop a modal box runs.
class BoxDismisser : public QObject
{
    Q_OBJECT

public:
    struct Box {
        QString title;
        QString text;
        int icon; // QMessageBox::Icon
    };

    explicit BoxDismisser(QObject *parent = nullptr);
    // Leave each box open for this long before pressing OK (default: at once).
    void setHoldMs(int ms) { m_holdMs = ms; }
    QVector<Box> boxes;
    QStringList texts() const;

private:
    void poll();
    QTimer m_timer;
    int m_holdMs = 0;
};

// Records qDebug()/qWarning() output while it exists; tests only.
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    QStringList debug() const;   // QtDebugMsg lines, as the default handler would print them
    QStringList warnings() const; // QtWarningMsg lines
    QStringList all() const;
    bool containsDebug(const QString &text) const;
    int indexOfDebug(const QString &text, int from = 0) const;
    void clear();
};

// A TCP port on loopback that was free a moment ago.
quint16 freePort();

// INI text from "section/name" -> raw value (the caller quotes where needed).
using IniValues = QMap<QString, QString>;
QByteArray iniText(const IniValues &values);

// Settings for an agent that starts quickly and touches nothing outside the
// test: an in-memory SQLite database, free ports, a provisioning host that
// refuses, and a fixed cipher key.
IniValues quietAgentSettings();

#endif // TESTSUPPORT_H
