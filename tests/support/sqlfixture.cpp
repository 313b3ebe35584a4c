#include "sqlfixture.h"
#include "pgserver.h"
#include "sqlserver.h"

#include <QCoreApplication>
#include <QDebug>
#include <map>
#include <QDir>
#include <QFile>

#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

QString runSql(const QString &driver, const std::function<void(QSqlDatabase &)> &configure,
               const QStringList &statements)
{
    static int counter = 0;
    const QString name = QStringLiteral("test-fixture-%1").arg(++counter);
    QString error;
    {
        QSqlDatabase fixture = QSqlDatabase::addDatabase(driver, name);
        configure(fixture);
        if (!fixture.open())
            error = QStringLiteral("cannot open: ") + fixture.lastError().text();
        for (const QString &statement : statements) {
            if (!error.isEmpty())
                break;
            QSqlQuery q(fixture);
            if (!q.exec(statement))
                error = statement + QStringLiteral(": ") + q.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return error;
}

SqlSession::SqlSession(const QString &driver, const std::function<void(QSqlDatabase &)> &configure)
{
    static int count = 0;
    m_name = QStringLiteral("test-session-%1").arg(++count);
    m_db = QSqlDatabase::addDatabase(driver, m_name);
    configure(m_db);
    if (!m_db.open())
        qWarning() << "session:" << m_db.lastError().text();
}

SqlSession::~SqlSession()
{
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_name);
}

QStringList SqlSession::run(const QStringList &statements)
{
    QStringList values;
    QSqlQuery query(m_db);
    for (const QString &statement : statements) {
        if (!query.exec(statement))
            qWarning() << statement << query.lastError().text();
    }
    while (query.next())
        values << query.value(0).toString();
    return values;
}

// A connection of the server's own driver to it, over TCP.
static void reach(const SqlServer &server, QSqlDatabase &db)
{
    db.setHostName(QStringLiteral("127.0.0.1"));
    db.setPort(server.port());
    db.setDatabaseName(server.database());
    db.setUserName(server.user());
    db.setPassword(server.password());
}

std::unique_ptr<SqlSession> serverSession(const SqlServer &server)
{
    return std::make_unique<SqlSession>(server.driver(), [&server](QSqlDatabase &db) { reach(server, db); });
}

QString sqliteRun(const QString &path, const QStringList &statements)
{
    return runSql(QStringLiteral("QSQLITE"), [&path](QSqlDatabase &db) { db.setDatabaseName(path); }, statements);
}

// Values holding commas are quoted for the INI reader.
static IniValues withStatement(IniValues values, const QString &query, const QString &retParam)
{
    values[QStringLiteral("sql/query")] = QLatin1Char('"') + query + QLatin1Char('"');
    values[QStringLiteral("sql/ret_param")] = retParam;
    return values;
}

IniValues sqliteAgentSettings(const QString &path, const QString &query, const QString &retParam)
{
    return withStatement(quietAgentSettings({{QStringLiteral("sql/dsn"), path}}), query, retParam);
}

IniValues serverAgentSettings(const SqlServer &server, const QString &query, const QString &retParam, Route route)
{
    IniValues values = quietAgentSettings();
    values[QStringLiteral("sql/type")] = route == Route::Native ? server.driver() : QStringLiteral("QODBC");
    values[QStringLiteral("sql/host")] = QStringLiteral("127.0.0.1");
    values[QStringLiteral("sql/port")] = QString::number(server.port());
    values[QStringLiteral("sql/dsn")] = server.database();
    values[QStringLiteral("sql/user")] = server.user();
    values[QStringLiteral("sql/password")] = server.password();
    if (route == Route::Native)
        return withStatement(values, query, retParam);

    const QString odbcDriver = server.driver() == QLatin1String("QPSQL") ? QStringLiteral("PostgreSQL Unicode")
                                                                           : QStringLiteral("MariaDB Unicode");
    const QString where = QStringLiteral("SERVER=127.0.0.1;PORT=%1;DATABASE=%2").arg(server.port()).arg(server.database());
    if (route == Route::OdbcString) {
        values[QStringLiteral("sql/dsn")]
            = QStringLiteral("\"DRIVER={%1};%2;UID=%3;PWD=%4\"").arg(odbcDriver, where, server.user(), server.password());
        values[QStringLiteral("sql/user")] = QString();
        values[QStringLiteral("sql/password")] = QString();
    } else {
        // A user's DSNs, in the file unixODBC is told of.
        const QString name = QStringLiteral("agent-") + server.driver();
        const QString path = QDir::home().filePath(QStringLiteral(".odbc.ini"));
        qputenv("ODBCINI", QFile::encodeName(path));
        QFile ini(path);
        const bool written = ini.open(QIODevice::ReadOnly) && ini.readAll().contains(name.toUtf8() + ']');
        ini.close();
        if (!written && ini.open(QIODevice::Append))
            ini.write(QStringLiteral("[%1]\nDriver=%2\n%3\n").arg(name, odbcDriver, QString(where).replace(';', '\n')).toUtf8());
        values[QStringLiteral("sql/dsn")] = name;
    }
    return withStatement(values, query, retParam);
}

QString startOnSqlite(Agent &agent, const QStringList &setup, const QString &query, const QString &retParam,
                      const IniValues &overrides)
{
    const IniValues values = withValues(sqliteAgentSettings(agent.work.filePath(QStringLiteral("agent.db")), query, retParam), overrides);
    const QString error = sqliteRun(values.value(QStringLiteral("sql/dsn")), setup);
    agent.start(values);
    return error;
}

QString driverList()
{
    return QSqlDatabase::drivers().join(QLatin1Char(','));
}

QStringList startupPanel(const QString &host, int port, const QString &dsn)
{
    return {QStringLiteral("drivers=") + driverList(),
            QStringLiteral("host = [%1]").arg(host),
            QStringLiteral("port = [%1]").arg(port),
            QStringLiteral("type = [QSQLITE]"),
            QStringLiteral("db.hostName()=") + host,
            QStringLiteral("db.driverName()=QSQLITE"),
            QStringLiteral("db.connectOptions()=QSQLITE_BUSY_TIMEOUT=5000"), // sql/timeout, 5 s by default
            QStringLiteral("db.connectionName()=qt_sql_default_connection"),
            QStringLiteral("db.databaseName()=") + dsn};
}

const QString CheckQuery = QStringLiteral(
    "SELECT id AS USER_ID, note FROM users WHERE login = :s1 AND pass = :s2 ORDER BY id");

const QStringList UsersSchema = {
    QStringLiteral("CREATE TABLE users (id INTEGER, login TEXT, pass TEXT, note TEXT)"),
    QStringLiteral("INSERT INTO users VALUES (1, 'alice', 'wonderland', 'first')"),
    QStringLiteral("INSERT INTO users VALUES (2, 'bob', 'builder', NULL)"),
    QStringLiteral("INSERT INTO users VALUES (3, 'twin', 'same', 'a')"),
    QStringLiteral("INSERT INTO users VALUES (4, 'twin', 'same', 'b')"),
    QStringLiteral("INSERT INTO users VALUES (5, 'Иван', 'пароль', 'cyr')"),
};

const QString CheckStatement = QStringLiteral("select uid, login from users where login=:s1 and pw=:s2");

QStringList usersTable(const QStringList &extraRows)
{
    return QStringList{
               QStringLiteral("create table users(login varchar(64), pw varchar(64), uid varchar(64))"),
               QStringLiteral("insert into users values('alice', 'Zq9secret', 'u-17')"),
               QStringLiteral("insert into users values('j\u00fcrgen', 'j', 'u-\u00e4')"),
           }
           + extraRows;
}

void addCheckUserColumns()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("retParam");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("shownUser");
    QTest::addColumn<QStringList>("columnLines");
}

void verifyCheckUserRow(ServerInspector s)
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, retParam);
    QFETCH(QString, expected);
    QFETCH(QString, shownUser);
    QFETCH(QStringList, columnLines);

    MessageCapture capture;
    QCOMPARE(s.checkUser(user, password), expected);

    const QStringList panel = s.panelLines();
    QCOMPARE(panel.mid(9), QStringList({QStringLiteral("q: ") + CheckQuery, QStringLiteral("s1: ") + shownUser,
                                        QStringLiteral("s2: ********")})
                               + columnLines);
    // Q1, Q2, then one R1 per "i: " line: index, name and value of the same column.
    QStringList debug{QStringLiteral("[d] q.q= ") + debugQuoted(CheckQuery),
                      QStringLiteral("[d] q.w= ") + debugQuoted(retParam)};
    for (int k = 0; k < columnLines.size(); ++k) {
        const QString item = columnLines.at(k).mid(3);
        const int eq = item.indexOf(QLatin1Char('='));
        debug << QStringLiteral("%1 : %2 = %3")
                     .arg(k % 2)
                     .arg(debugQuoted(item.left(eq)), debugQuoted(item.mid(eq + 1)));
    }
    if (expected != QLatin1String("none")) // what the HTTP check then says of it
        debug << QStringLiteral("[+] user exist! RET= ") + debugQuoted(expected);
    QCOMPARE(capture.debug(), debug);
    QVERIFY(capture.warnings().isEmpty());
    QCOMPARE(userCount(s.db()), UsersSchema.size() - 1);
}

int userCount(const QSqlDatabase &db)
{
    QSqlQuery count(db);
    if (!count.exec(QStringLiteral("SELECT count(*) FROM users")) || !count.next())
        return -1;
    return count.value(0).toInt();
}

SqlServer *sharedServer(Backend backend, const QStringList &setup, QString *error)
{
    static std::map<Backend, std::unique_ptr<SqlServer>> servers;
    static std::map<Backend, QString> failures;
    // Stopped while the application still runs the processes that stop them.
    static const bool cleanedUp = (qAddPostRoutine([] { servers.clear(); }), true);
    Q_UNUSED(cleanedUp)
    if (servers.count(backend))
        return servers[backend].get();
    if (failures.count(backend)) {
        *error = failures[backend];
        return nullptr;
    }
    QString &failure = failures[backend];
    std::unique_ptr<SqlServer> server;
    if (backend != Backend::Postgres)
        server = std::make_unique<ScriptedServer>(backend == Backend::MariaDb ? ScriptedServer::Kind::MariaDb
                                                                              : ScriptedServer::Kind::Firebird);
    else if ((failure = PgServer::unavailableReason()).isEmpty())
        server = std::make_unique<PgServer>();
    if (server && server->setUp(&failure))
        failure = runSql(server->driver(), [&](QSqlDatabase &db) { reach(*server, db); }, setup);
    if (!failure.isEmpty()) {
        *error = failure;
        return nullptr;
    }
    failures.erase(backend);
    return (servers[backend] = std::move(server)).get();
}

void addDriverRows()
{
    QTest::addColumn<int>("backend");
    QTest::addColumn<int>("route");
    QTest::newRow("QPSQL") << int(Backend::Postgres) << int(Route::Native);
    QTest::newRow("QMYSQL") << int(Backend::MariaDb) << int(Route::Native);
    QTest::newRow("QIBASE") << int(Backend::Firebird) << int(Route::Native);
    QTest::newRow("QODBC_postgres_string") << int(Backend::Postgres) << int(Route::OdbcString);
    QTest::newRow("QODBC_mariadb_dsn") << int(Backend::MariaDb) << int(Route::OdbcDsn);
}
