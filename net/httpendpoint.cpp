#include "app/server.h"

void Server::httpNewConnection() {}
void Server::slotReadClient() {}
void Server::answerHttp(QTcpSocket *) {}
