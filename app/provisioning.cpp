#include "server.h"

// The cipher self-test and the provisioning request arrive with the cipher object.
void Server::testCipher() {}
void Server::requestConfig() {}
