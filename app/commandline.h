#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QString>
#include <QStringList>

// What the agent's command line asks for before anything else runs. The agent
// is configured by ./tovr_merk.ini alone; its command line only answers
// --help and --version, and anything else on it is left to Qt.
namespace CommandLine {

struct Request
{
    bool help = false;
    bool version = false;
    QString text; // what to print for either
};
// Reads the arguments (the program's name first).
Request read(const QStringList &arguments);

// The platform to fall back on: "offscreen" when none is configured (no
// QT_QPA_PLATFORM, no -platform argument) and there is no display to show a
// window on (no DISPLAY, no WAYLAND_DISPLAY); else empty.
QString fallbackPlatform(const QStringList &arguments, bool platformVariableSet, bool displaySet);

// Whether nobody can answer a message box on Qt's platform of that name: a
// service runs on "offscreen" (or "minimal").
bool headless(const QString &platformName);

} // namespace CommandLine

#endif // COMMANDLINE_H
