#include "app/commandline.h"
#include "app/debugoutput.h"
#include "app/processlimits.h"
#include "app/server.h"
#include "app/signalbridge.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    // --help and --version answer before any window or network work, without
    // a display: a core application suffices to read them.
    QStringList arguments;
    {
        QCoreApplication reader(argc, argv);
        reader.setApplicationName(QStringLiteral("tovr_merk_agent"));
        arguments = QCoreApplication::arguments();
        const CommandLine::Request request = CommandLine::read(arguments);
        if (request.help || request.version) {
            std::fputs(request.text.toLocal8Bit().constData(), stdout);
            return 0;
        }
    }
    // With no display and no platform named, Qt would abort; a service has no
    // display and wants none.
    const QString platform
        = CommandLine::fallbackPlatform(arguments, qEnvironmentVariableIsSet("QT_QPA_PLATFORM"),
            !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"));
    if (!platform.isEmpty()) {
        qputenv("QT_QPA_PLATFORM", platform.toLatin1());
        std::fprintf(
            stderr, "tovr_merk_agent: no display; running on the %s platform\n", qPrintable(platform));
    }

    // Qt's own event loop rather than GLib's: the same events and slots, and
    // less work per pass when many connections are open (the load benchmark's
    // p99 at 64 clients went from about 20 ms to about 14). Read when the
    // application is made; QT_NO_GLIB set to an empty value keeps GLib's.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    DebugOutput::install();
    raiseOpenFileLimit();
    QGuiApplication::setApplicationDisplayName(Server::tr("TOVR/MERK SQL Agent (checker) v3"));
    // Before the dialog, so a signal during start-up is honoured by whichever
    // event loop runs first (the provisioning wait, a start-up message box, or
    // the main loop) instead of killing the process half-built. The dialog
    // connects itself to it.
    SignalBridge signalBridge;
    signalBridge.start();
    // Headless, nobody answers a box: a start-up failure ends the agent, so
    // its supervisor sees it.
    Server server(AgentLimits(), RunMode {CommandLine::headless(QGuiApplication::platformName())});
    if (server.exitCode() != 0)
        return server.exitCode();
    if (signalBridge.delivered())
        return 0; // ended during start-up; the dialog has closed and written the settings
    server.show();
    return app.exec();
}
