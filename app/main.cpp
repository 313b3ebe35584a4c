#include "app/server.h"
#include "app/signalbridge.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QGuiApplication::setApplicationDisplayName(Server::tr("TOVR/MERK SQL Agent (checker) v3"));
    // Before the dialog, so a signal during start-up is kept and honoured once
    // the event loop runs, instead of killing the process half-built.
    SignalBridge signalBridge;
    Server server;
    closeOnTermination(signalBridge, server);
    signalBridge.start();
    server.show();
    return app.exec();
}
