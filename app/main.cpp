#include "app/server.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QGuiApplication::setApplicationDisplayName(Server::tr("TOVR/MERK SQL Agent (checker) v3"));
    Server server;
    server.show();
    return app.exec();
}
