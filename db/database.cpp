#include "database.h"

#include "app/eventlog.h"
#include "app/server.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTextCodec>

#include <algorithm>

namespace Database {

QString cp1251DisplayForm(const QString &userName)
{
    // ASCII comes back from the round trip as it went in; only the NUL rule
    // applies. Most names are ASCII, and the codec is the costly part.
    const bool ascii = std::all_of(userName.cbegin(), userName.cend(), [](QChar c) { return c.unicode() < 0x80; });
    if (ascii) {
        const int nul = userName.indexOf(QChar(0));
        return nul < 0 ? userName : userName.left(nul);
    }

    // Looked up once: the codec registry is searched by name on every call.
    static const QTextCodec *const codec = QTextCodec::codecForName("CP1251");
    if (!codec)
        return userName;
    const QByteArray bytes = codec->fromUnicode(userName);
    return QString::fromUtf8(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
}

// How a lost server shows, as observed with QPSQL (Qt 5.15, libpq 15) against
// a server stopped or restarted under an open connection: the failing
// statement reports QSqlError::StatementError with the native code "57P01"
// ("terminating connection due to administrator command") when the server
// ended the session, or no native code and "no connection to the server" when
// the session was already gone; either way the driver then marks the
// connection closed, so isOpen() is false from that statement on, and later
// statements fail with "database not open" and no error at all. A syntax
// error (native code "42601") leaves the connection open. isOpen() is
// therefore what decides; the connection-class SQLSTATEs cover drivers that
// keep claiming an open connection after losing it.
bool connectionLost(bool connectionOpen, const QSqlError &error)
{
    if (!connectionOpen || error.type() == QSqlError::ConnectionError)
        return true;
    const QString state = error.nativeErrorCode();
    return state.size() == 5
           && (state.startsWith(QLatin1String("08")) // connection exception
               || state == QLatin1String("57P01")     // administrator shutdown
               || state == QLatin1String("57P02")     // crash shutdown
               || state == QLatin1String("57P03"));   // cannot connect now
}

bool reopenAllowed(const QElapsedTimer &lastReopen, int intervalMs)
{
    return !lastReopen.isValid() || lastReopen.elapsed() >= intervalMs;
}

} // namespace Database

void Server::openDatabase()
{
    writeLogLine(QStringLiteral("[e] QSqlDatabase::drivers=")
                 + QSqlDatabase::drivers().join(QLatin1Char(',')));
    appendLogPanel(QStringLiteral("drivers=") + QSqlDatabase::drivers().join(QLatin1Char(',')));
    appendLogPanel(QStringLiteral("host = [") + sqlHost + QLatin1Char(']'));
    appendLogPanel(QStringLiteral("port = [") + QString::number(sqlPort) + QLatin1Char(']'));
    appendLogPanel(QStringLiteral("type = [") + sqlType + QLatin1Char(']'));

    db = QSqlDatabase::addDatabase(sqlType);
    db.setHostName(sqlHost);
    db.setPort(sqlPort);
    db.setDatabaseName(sqlDsn);
    db.setUserName(sqlUser);
    db.setPassword(sqlPassword);

    appendLogPanel(QStringLiteral("db.hostName()=") + db.hostName());
    appendLogPanel(QStringLiteral("db.driverName()=") + db.driverName());
    appendLogPanel(QStringLiteral("db.connectOptions()=") + db.connectOptions());
    appendLogPanel(QStringLiteral("db.connectionName()=") + db.connectionName());
    appendLogPanel(QStringLiteral("db.databaseName()=") + db.databaseName());

    if (!db.open()) {
        const QString error = db.lastError().text();
        appendLogPanel(QStringLiteral("ERR: db.lastError()=") + error);
        qDebug() << "[e] db.lastError[1]=" << error;
        writeLogLine(QStringLiteral("[e] db.lastError=") + error);
        QMessageBox::critical(this, tr("TOVR/MERK SQL Agent (checker)"),
                              tr("[1] Unable to connect to SQL."), QMessageBox::Ok);
        return; // the test query needs an open connection
    }
    writeLogLine(QStringLiteral("[+] Connect to DB ") + sqlDsn + QStringLiteral(" success"));

    QSqlQuery query(db);
    if (query.exec(testQuery1)) {
        query.record();
        while (query.next()) {
            // The rows only prove the statement runs to the end.
        }
    } else {
        const QString error = query.lastError().text();
        qDebug() << "[e] q.le=" << error;
        writeLogLine(QStringLiteral("[e] Unable to execute test query: ") + testQuery1);
        writeLogLine(QStringLiteral("[e] query.lastError=") + error);
    }
}

QString Server::checkUser(QString userName, QString password)
{
    QString result = QStringLiteral("none");
    const QVariantMap bindings{{QStringLiteral(":s1"), userName}, {QStringLiteral(":s2"), password}};

    qDebug() << "[d] q.q=" << sqlQuery;
    qDebug() << "[d] q.w=" << sqlRetParam;

    userName = Database::cp1251DisplayForm(userName);
    appendLogPanel(QStringLiteral("q: ") + sqlQuery);
    appendLogPanel(QStringLiteral("s1: ") + userName);
    // A password on the screen is a password leaked; the bound value is the real one.
    appendLogPanel(QStringLiteral("s2: ") + Database::MaskedPassword);

    QSqlQuery query;
    if (!execWithRecovery(query, true, sqlQuery, bindings)) {
        qDebug() << "[e] q.le=" << query.lastError().text();
        appendLogPanel(QStringLiteral("ERR: db.lastError()=") + db.lastError().text());
        qDebug() << timeStamp() << "[e] Unable to execute test query: " << sqlQuery;
        qDebug() << timeStamp() << "[e] query.lastError=" << query.lastError().text();
        return QStringLiteral("none");
    }

    const QSqlRecord record = query.record();
    while (query.next()) {
        // indexOf ignores case; a name that matches no column yields the empty string.
        const int column = record.indexOf(sqlRetParam);
        result = column < 0 ? QString() : query.value(column).toString();
        for (int i = 0; i < record.count(); ++i) {
            const QString name = record.fieldName(i);
            const QString value = query.value(i).toString();
            qDebug() << i << ":" << name << "=" << value;
            appendLogPanel(QStringLiteral("i: ") + name + QLatin1Char('=') + value);
        }
    }
    query.finish(); // the statement stays prepared, its read ends here
    return result;
}

bool Server::execWithRecovery(QSqlQuery &query, bool prepared, const QString &statement,
                              const QVariantMap &named, const QVariantList &positional)
{
    // Preparing costs as much as running a lookup on an index, so a statement
    // is prepared once per session and then only bound and run. A reopen
    // empties the cache: those statements belonged to the dead session.
    const auto run = [&] {
        if (!prepared) {
            query = QSqlQuery(db);
            return query.exec(statement);
        }
        const auto cached = preparedQueries.constFind(statement);
        if (cached != preparedQueries.cend()) {
            query = *cached; // shares the prepared statement
        } else {
            query = QSqlQuery(db);
            // A statement that does not prepare fails in exec(), and is tried afresh next time.
            if (query.prepare(statement))
                preparedQueries.insert(statement, query);
        }
        for (auto it = named.cbegin(); it != named.cend(); ++it)
            query.bindValue(it.key(), it.value(), QSql::In);
        for (const QVariant &value : positional)
            query.addBindValue(value, QSql::In);
        return query.exec();
    };

    if (run())
        return true;
    if (!Database::connectionLost(db.isOpen(), query.lastError()) || !reopenDatabase())
        return false; // query keeps the error of the run that failed
    return run();
}

bool Server::reopenDatabase()
{
    if (!Database::reopenAllowed(lastReopen))
        return false;
    lastReopen.start();
    preparedQueries.clear();
    db.close();
    if (db.open()) {
        appendLogPanel(QStringLiteral("[+] Reconnect to DB ") + sqlDsn + QStringLiteral(" success"));
        return true;
    }
    appendLogPanel(QStringLiteral("ERR: reconnect: ") + db.lastError().text());
    return false;
}
