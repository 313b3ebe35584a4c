#include "app/server.h"

// The network step arrives with the network services.
void Server::openNetwork() {}
void Server::sessionOpened() {}
bool Server::startListener(QTcpServer *, int) { return false; }
