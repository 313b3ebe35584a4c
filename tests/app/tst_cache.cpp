#include "support/agent.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"

#include <QtTest>

#include <csignal>

class tst_Cache : public QObject
{
    Q_OBJECT

private slots:
    void answersWhileTheDatabaseCannot();
};

// A running agent with cache/ttl=1 and cache/stale=3600: a found verdict is
// answered without the statement, SIGHUP empties the cache, and while the
// database cannot answer an expired entry answers and nothing else does.
void tst_Cache::answersWhileTheDatabaseCannot()
{
    SqliteAgentProcess rig({{QStringLiteral("cache/ttl"), QStringLiteral("1")}, {QStringLiteral("cache/stale"), QStringLiteral("3600")}});
    QCOMPARE(rig.error, QString());
    QVERIFY2(rig.agent.start(), qPrintable(rig.agent.outcome()));
    const QString db = rig.dir.filePath(QStringLiteral("users.db"));
    const QByteArray exist = found("u-17");
    const auto check = [&](const char *user, const char *password) {
        return exchange(rig.agent.port(QStringLiteral("http/port")), checkRequest(user, password));
    };
    const auto said = [&](const QByteArray &line) { return rig.agent.standardError.count(line + '\n'); };
    QTRY_VERIFY(exchange(rig.agent.port(QStringLiteral("http/port")), "GET / HTTP/1.0\r\n\r\n") == notFound());

    QCOMPARE(check("alice", "Zq9secret"), exist);
    // The database no longer takes the password; the cache does, for a second.
    QCOMPARE(sqliteRun(db, {QStringLiteral("update users set pw = 'n3w' where login = 'alice'")}), QString());
    QCOMPARE(check("alice", "Zq9secret"), exist);
    QTRY_COMPARE(said("[c] alice answered from the cache (fresh): RET= u-17"), 1);

    ::kill(pid_t(rig.agent.pid()), SIGHUP);
    QTRY_COMPARE(said("[i] the verdict cache is emptied: 1 entries"), 1);
    QCOMPARE(check("alice", "Zq9secret"), notFound());
    QCOMPARE(check("alice", "n3w"), exist);

    // The statement fails from now on. Past its ttl, alice's entry answers;
    // a name or a password the cache does not hold gets the failure's answer.
    QCOMPARE(sqliteRun(db, {QStringLiteral("drop table users")}), QString());
    QTest::qWait(1100);
    QCOMPARE(check("alice", "n3w"), exist);
    QTRY_COMPARE(said("[c] alice answered from the cache (stale, the database cannot answer): RET= u-17"), 1);
    QCOMPARE(check("bob", "n3w"), notFound());
    QCOMPARE(check("alice", "Zq9secret"), notFound());
}

QTEST_MAIN(tst_Cache)
#include "tst_cache.moc"
