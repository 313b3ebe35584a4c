#ifndef DATABASE_H
#define DATABASE_H

#include <QString>

class QElapsedTimer;
class QSqlError;

// Rules of the database subsystem that need no connection. The operations
// that use them are Server members (db/database.cpp).
namespace Database {

// A lost connection is reopened at most once per this interval, so a
// statement that keeps failing cannot turn into a reconnect storm.
constexpr int ReopenIntervalMs = 5000;

// What the panel shows in place of a password.
inline const QString MaskedPassword = QStringLiteral("********");

// The user name as the log panel shows it: its CP1251 bytes read back as
// UTF-8 up to the first NUL, so letters outside ASCII come out altered.
// Without a CP1251 codec the name is shown as it is.
QString cp1251DisplayForm(const QString &userName);

// True when a failed statement means the connection itself is gone, not that
// the statement was wrong.
bool connectionLost(bool connectionOpen, const QSqlError &error);

// True when a reopen may be tried now: none yet, or the last one is at least
// intervalMs old.
bool reopenAllowed(const QElapsedTimer &lastReopen, int intervalMs = ReopenIntervalMs);

} // namespace Database

#endif // DATABASE_H
