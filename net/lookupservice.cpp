#include "app/server.h"

void Server::sendFortune() {}
void Server::beginLookup() {}
void Server::continueLookup(QTcpSocket *) {}
void Server::finishLookup() {}
