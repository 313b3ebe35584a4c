#include "app/server.h"

#include <QSqlQuery>

// The database step and the credential check arrive with the database work.
void Server::openDatabase() {}
QString Server::checkUser(QString, QString) { return QStringLiteral("none"); }
bool Server::execWithRecovery(QSqlQuery &, bool) { return false; }
