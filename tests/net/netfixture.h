#ifndef NETFIXTURE_H
#define NETFIXTURE_H

// What the network tests share: an SQLite file behind a real Server, and a
// loopback client that records everything the agent sends it.

#include "app/server.h"
#include "support/serveraccess.h"
#include "support/testsupport.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QHostAddress>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

// Creates the SQLite file at path and runs the statements on it, on a
// connection of its own that is gone again when this returns.
inline bool createSqlite(const QString &path, const QStringList &statements)
{
    const QString name = QStringLiteral("fixture-setup");
    bool ok = true;
    {
        QSqlDatabase setup = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        setup.setDatabaseName(path);
        ok = setup.open();
        QSqlQuery query(setup);
        for (const QString &statement : statements) {
            if (ok && !query.exec(statement)) {
                qWarning() << statement << query.lastError().text();
                ok = false;
            }
        }
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

// Agent settings for a Server on the SQLite file in work, with statement and
// result column; values holding commas are quoted for the INI reader.
inline IniValues sqliteAgent(const WorkDir &work, const QString &statement, const QString &retParam)
{
    IniValues values = quietAgentSettings();
    values[QStringLiteral("sql/dsn")] = work.filePath(QStringLiteral("agent.db"));
    values[QStringLiteral("sql/query")] = QLatin1Char('"') + statement + QLatin1Char('"');
    values[QStringLiteral("sql/ret_param")] = retParam;
    return values;
}

// The HTTP check's users table: the statement reads uid for a login and pw.
// Every table made by usersTable holds alice and jürgen; extraRows add more.
inline const QString CheckStatement = QStringLiteral("select uid, login from users where login=:s1 and pw=:s2");

inline QStringList usersTable(const QStringList &extraRows = {})
{
    return QStringList{
               "create table users(login text, pw text, uid text)",
               "insert into users values('alice', 'Zq9secret', 'u-17')",
               "insert into users values('j\u00fcrgen', 'j', 'u-\u00e4')",
           }
           + extraRows;
}

// A well-formed check request for user and password, headers included.
inline QByteArray checkRequest(const QByteArray &user, const QByteArray &password)
{
    return "GET /t/check?username=" + user + "&password=" + password + " HTTP/1.1\r\nHost: agent\r\n\r\n";
}

inline quint16 iniPort(const IniValues &values, const char *key)
{
    return quint16(values.value(QLatin1String(key)).toInt());
}

// A Server in a fresh working directory on an SQLite file made from setup.
// Message boxes the constructor shows need a BoxDismisser made beforehand.
struct Agent
{
    Agent(const QString &statement, const QString &retParam, const QStringList &setup,
          const IniValues &overrides = IniValues())
        : work(QByteArray(), false), values(sqliteAgent(work, statement, retParam))
    {
        for (auto it = overrides.cbegin(); it != overrides.cend(); ++it)
            values[it.key()] = it.value();
        databaseReady = createSqlite(values.value(QStringLiteral("sql/dsn")), setup);
        work.writeIni(iniText(values));
        server = std::make_unique<Server>();
    }
    quint16 httpPort() const { return iniPort(values, "http/port"); }
    quint16 apibPort() const { return iniPort(values, "server/port"); }

    WorkDir work;
    IniValues values;
    bool databaseReady = false;
    std::unique_ptr<Server> server;
};

// One loopback connection; everything received is kept, and whether and when
// the agent ended the connection.
class Client : public QObject
{
public:
    explicit Client(quint16 port, const QByteArray &request = QByteArray(), QObject *parent = nullptr)
        : QObject(parent)
    {
        connect(&socket, &QTcpSocket::readyRead, this, [this] { received += socket.readAll(); });
        connect(&socket, &QTcpSocket::disconnected, this, [this] {
            if (socket.isReadable()) // not after abort()
                received += socket.readAll();
            closedAfterMs = clock.elapsed();
            closed = true;
        });
        connect(&socket, &QTcpSocket::connected, this, [this, request] {
            if (!request.isEmpty())
                socket.write(request);
        });
        clock.start();
        socket.connectToHost(QHostAddress::LocalHost, port);
    }

    QTcpSocket socket;
    QByteArray received;
    bool closed = false;
    qint64 closedAfterMs = -1;

private:
    QElapsedTimer clock;
};

#endif // NETFIXTURE_H
