#ifndef ODBC_H
#define ODBC_H

#include <QString>

class QSqlDatabase;
class QSqlQuery;

// What Qt's ODBC driver does not offer, done through the ODBC driver manager
// that driver has loaded (unixODBC's libodbc). Without it loaded, both do nothing.
namespace Odbc {

// Every statement the connection starts from now on ends after seconds
// (SQL_ATTR_QUERY_TIMEOUT, as the ODBC driver implements it). False when the
// driver manager or the driver refused.
bool setQueryTimeout(const QSqlDatabase &db, int seconds);

// The name the server gives its product ("PostgreSQL", "MariaDB", ...);
// empty when unknown.
QString serverProduct(const QSqlDatabase &db);

// The SQLSTATE of the first diagnostic of the query's last call, else of the
// connection's; empty when there is none.
QString sqlState(const QSqlQuery &query, const QSqlDatabase &db);

} // namespace Odbc

#endif // ODBC_H
