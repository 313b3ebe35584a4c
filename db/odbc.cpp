#include "odbc.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QSqlResult>
#include <QVariant>

#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>

namespace Odbc {

namespace {
// The driver manager's functions, found in the copy Qt's plugin loaded: the
// agent itself does not link it, so it runs where ODBC is not installed.
struct DriverManager
{
    decltype(&::SQLSetConnectAttr) setConnectAttr = nullptr;
    decltype(&::SQLGetDiagRec) getDiagRec = nullptr;
    decltype(&::SQLGetInfo) getInfo = nullptr;

    static const DriverManager &instance()
    {
        static const DriverManager loaded = [] {
            DriverManager m;
            if (void *lib = ::dlopen("libodbc.so.2", RTLD_LAZY | RTLD_NOLOAD)) {
                m.setConnectAttr
                    = reinterpret_cast<decltype(m.setConnectAttr)>(::dlsym(lib, "SQLSetConnectAttr"));
                m.getDiagRec = reinterpret_cast<decltype(m.getDiagRec)>(::dlsym(lib, "SQLGetDiagRec"));
                m.getInfo = reinterpret_cast<decltype(m.getInfo)>(::dlsym(lib, "SQLGetInfo"));
            }
            return m;
        }();
        return loaded;
    }
};

// Qt's ODBC driver hands its handles out as a QVariant holding an SQLHANDLE,
// which is a void pointer.
SQLHANDLE handleOf(const QVariant &handle)
{
    if (handle.userType() != QMetaType::VoidStar)
        return nullptr;
    return *static_cast<const SQLHANDLE *>(handle.constData());
}

QString stateOf(SQLSMALLINT type, SQLHANDLE handle)
{
    const DriverManager &dm = DriverManager::instance();
    if (!handle || !dm.getDiagRec)
        return QString();
    SQLCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    const SQLRETURN r = dm.getDiagRec(type, handle, 1, state, &native, nullptr, 0, &length);
    if (r != SQL_SUCCESS && r != SQL_SUCCESS_WITH_INFO)
        return QString();
    return QString::fromLatin1(reinterpret_cast<const char *>(state));
}
} // namespace

bool setQueryTimeout(const QSqlDatabase &db, int seconds)
{
    const DriverManager &dm = DriverManager::instance();
    const SQLHANDLE dbc = db.driver() ? handleOf(db.driver()->handle()) : nullptr;
    if (!dbc || !dm.setConnectAttr)
        return false;
    // ODBC 3 lets a connection carry the statement attributes its new statements start with.
    const SQLRETURN r = dm.setConnectAttr(
        dbc, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)), 0);
    return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO;
}

QString serverProduct(const QSqlDatabase &db)
{
    const DriverManager &dm = DriverManager::instance();
    const SQLHANDLE dbc = db.driver() ? handleOf(db.driver()->handle()) : nullptr;
    if (!dbc || !dm.getInfo)
        return QString();
    char name[128] = {};
    SQLSMALLINT length = 0;
    const SQLRETURN r = dm.getInfo(dbc, SQL_DBMS_NAME, name, sizeof name - 1, &length);
    return r == SQL_SUCCESS ? QString::fromLatin1(name) : QString();
}

QString sqlState(const QSqlQuery &query, const QSqlDatabase &db)
{
    const QString state
        = query.result() ? stateOf(SQL_HANDLE_STMT, handleOf(query.result()->handle())) : QString();
    if (!state.isEmpty() || !db.driver())
        return state;
    return stateOf(SQL_HANDLE_DBC, handleOf(db.driver()->handle()));
}

} // namespace Odbc
