#include "db/sqlrules.h"
#include "support/agent.h"
#include "support/sqlfixture.h"
#include "support/sqlserver.h"
#include "support/wireclient.h"

#include <QtTest>

// The same agent through every driver it is proven on, each against a real
// server this test starts: PostgreSQL, MariaDB and Firebird through their own
// drivers, and ODBC to PostgreSQL and to MariaDB.
namespace {
// The users table with a number and a NULL beside each identifier.
const QStringList Table = usersTable({QStringLiteral("alter table users add num integer"),
                                      QStringLiteral("alter table users add nothing varchar(8)"),
                                      QStringLiteral("update users set num = 42")});

IniValues settings(const SqlServer &server, int route)
{
    IniValues values = serverAgentSettings(server, CheckStatement, QStringLiteral("uid"), Route(route));
    values[QStringLiteral("test/query1")] = QStringLiteral("select uid from users");
    values[QStringLiteral("admin/port")] = QString::number(freePort());
    return values;
}

QByteArray ready(const Agent &agent)
{
    return exchange(agent.port(QStringLiteral("admin/port")), "GET /ready HTTP/1.0\r\n\r\n").left(15);
}
} // namespace

class tst_Drivers : public QObject
{
    Q_OBJECT

private slots:
    void behavesAlike_data() { addDriverRows(); }
    void behavesAlike();
    void reconnectsAfterRestart_data() { addDriverRows(); }
    void reconnectsAfterRestart();
};

void tst_Drivers::behavesAlike()
{
    FETCH_SERVER(server, Table);
    MessageCapture capture;
    Agent agent;
    const IniValues values = settings(*server, route);
    agent.start(values);
    ServerInspector s = agent.inspect();
    const QString type = s.config().sqlType;

    // Start-up: connected, the test query ran, and the password shown nowhere.
    QString dsn = s.config().sqlDsn;
    QCOMPARE(agent.log().mid(1), QStringList({QStringLiteral("[e] QSqlDatabase::drivers=") + driverList(),
                                              QStringLiteral("[+] Connect to DB ")
                                                  + dsn.replace(server->password(), QStringLiteral("********"))
                                                  + QStringLiteral(" success")}));
    QCOMPARE(s.panelLines().mid(3, 3),
             QStringList({"type = [" + type + "]", "db.hostName()=127.0.0.1", "db.driverName()=" + type}));

    // Found, not found, a UTF-8 name in the URL, as the database holds it.
    QCOMPARE(exchange(agent.httpPort(), checkRequest("alice", "Zq9secret")), found("u-17"));
    QCOMPARE(exchange(agent.httpPort(), checkRequest("alice", "wrong")), notFound());
    QCOMPARE(exchange(agent.httpPort(), checkRequest("j%C3%BCrgen", "j")), found("u-\xc3\xa4"));
    QCOMPARE(exchange(agent.httpPort(), checkRequest("bob", "x")), notFound());

    // A row another session commits is seen by the next check on the same session.
    const QString login = QStringLiteral("carol_") + QString::fromLatin1(QTest::currentDataTag()).toLower();
    const auto other = serverSession(*server);
    other->run({QStringLiteral("insert into users values('%1', 'c', 'u-c', 7, null)").arg(login)});
    QCOMPARE(exchange(agent.httpPort(), checkRequest(login.toLatin1(), "c")), found("u-c"));
    other->run({QStringLiteral("delete from users where login = '%1'").arg(login)});
    QCOMPARE(exchange(agent.httpPort(), checkRequest(login.toLatin1(), "c")), notFound());

    // An identifier that is a number, a text, a NULL.
    Database &database = s.database();
    const StatementResult typed = database.run(Sql::checkStatement(
        QStringLiteral("select num, uid, nothing from users where login = :s1 and pw = :s2"), QStringLiteral("num"),
        QStringLiteral("alice"), QStringLiteral("Zq9secret")));
    QCOMPARE(typed.rows, QVector<QStringList>({{"42", "u-17", ""}}));
    QVERIFY(typed.rows.first().last().isNull());

    // The lookup's input is a bound value, never SQL.
    const QString lookup = QStringLiteral("select uid from users where login = '%1'");
    QCOMPARE(Sql::lastRowValue(database.run(Sql::lookupStatement(lookup, "uid", "alice"))), QString("u-17"));
    QCOMPARE(database.run(Sql::lookupStatement(lookup, "uid", "x' or '1'='1")).rows.size(), 0);

    // A statement the server rejects is the statement's fault, not the connection's.
    const StatementResult wrong = database.run(Sql::checkStatement(
        QStringLiteral("selec uid from users where login = :s1 and pw = :s2"), "uid", "alice", "Zq9secret"));
    QVERIFY(!wrong.ok);
    QVERIFY2(!wrong.unavailable, qPrintable(wrong.error));
    QCOMPARE(exchange(agent.httpPort(), checkRequest("alice", "Zq9secret")), found("u-17"));
    QCOMPARE(database.counters().reopenAttempts, quint64(0));

    const QString secret = server->password();
    QVERIFY(!s.panelLines().join('\n').contains(secret));
    QVERIFY(!capture.all().join('\n').contains(secret));
}

void tst_Drivers::reconnectsAfterRestart()
{
    FETCH_SERVER(server, Table);
    MessageCapture capture;
    Agent agent;
    agent.start(settings(*server, route));
    ServerInspector s = agent.inspect();
    const QByteArray alice = checkRequest("alice", "Zq9secret");
    QCOMPARE(exchange(agent.httpPort(), alice), found("u-17"));
    QCOMPARE(ready(agent), QByteArray("HTTP/1.0 200 OK"));

    QString error;
    QVERIFY2(server->stop(&error), qPrintable(error));
    QCOMPARE(exchange(agent.httpPort(), alice), notFound());
    QCOMPARE(ready(agent), QByteArray("HTTP/1.0 503 Se"));

    QVERIFY2(server->start(&error), qPrintable(error));
    QElapsedTimer back;
    back.start();
    QTRY_COMPARE_WITH_TIMEOUT(exchange(agent.httpPort(), alice), found("u-17"), 6000);
    qInfo("found again %lld ms after the restart", back.elapsed());
    QCOMPARE(exchange(agent.httpPort(), alice), found("u-17"));
    QCOMPARE(ready(agent), QByteArray("HTTP/1.0 200 OK"));
    QCOMPARE(s.database().counters().reopens, quint64(1));
    // Prepared once on each of the two sessions.
    if (Sql::keepsPrepared(s.config().sqlType))
        QCOMPARE(s.database().prepares(), quint64(2));
}

QTEST_MAIN(tst_Drivers)
#include "tst_drivers.moc"
