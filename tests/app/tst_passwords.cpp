#include "support/agent.h"
#include "support/sqlfixture.h"
#include "support/sqlserver.h"
#include "support/wireclient.h"

#include <QtTest>

// Stored passwords made by the real tools (tests/passwords/vectors.txt, each
// with the command that made it), verified through a real check with
// sql/password_column: on SQLite, and on MariaDB.
namespace {
const QString ByLogin = QStringLiteral("select uid, pw from users where login = :s1");
const QStringList Weak {"md5crypt", "descrypt", "ldap_sha1", "ldap_md5"};

// format -> stored value, and past the limits, made from them by hand.
QMap<QString, QString> stored()
{
    QMap<QString, QString> values;
    for (const QByteArray &line : sourceFile(QStringLiteral("tests/passwords/vectors.txt")).split('\n')) {
        const int bar = line.indexOf(" | ");
        if (!line.startsWith('#') && bar > 0)
            values.insert(QString::fromUtf8(line.left(bar)), QString::fromUtf8(line.mid(bar + 3)));
    }
    values.insert("over-bcrypt-cost", QString(values.value("bcrypt")).replace("$2b$05$", "$2b$17$"));
    values.insert("over-argon2-memory", QString(values.value("argon2id")).replace("m=4096", "m=2097152"));
    values.insert("over-sha512crypt-rounds", QString(values.value("sha512crypt")).replace("$6$", "$6$rounds=999999999$"));
    values.insert("over-pbkdf2-rounds", QString(values.value("pbkdf2_sha256")).replace("$1000$", "$20000000$"));
    values.insert("over-argon2-passes", QString(values.value("argon2id")).replace("t=2", "t=4294967295"));
    values.insert("over-argon2-lanes", QString(values.value("argon2id")).replace("p=1", "p=17"));
    values.insert("over-scrypt-work", QString(values.value("scrypt")).replace("$7$CU..../....", "$7$CU....U...."));
    values.insert("over-yescrypt-memory", QString(values.value("yescrypt")).replace("$y$j9T$", "$y$jGT$"));
    values.insert("padded-bcrypt", values.value("bcrypt") + "   "); // as a CHAR(n) column gives it
    values.insert("unknown-clear", "Zq9secret$1"); // a password in clear, no prefix
    return values;
}

// Each value under its format's name, and cut short under "cut-<format>".
QStringList table()
{
    QStringList rows;
    const QMap<QString, QString> values = stored();
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        rows << QStringLiteral("insert into users values('%1', '%2', 'id-%1')").arg(it.key(), it.value())
             << QStringLiteral("insert into users values('cut-%1', '%2', 'id-cut')").arg(it.key(), it.value().chopped(4));
    for (int i = 0; i <= 16; ++i) // more rows for one name than are verified, every one of them right
        rows << QStringLiteral("insert into users values('many', '%1', 'id-many')").arg(values.value("bcrypt"));
    rows.prepend(QStringLiteral("create table users(login varchar(64), pw varchar(255), uid varchar(64))"));
    return rows;
}
} // namespace

class tst_Passwords : public QObject
{
    Q_OBJECT

private slots:
    void verifiedThroughACheck_data();
    void verifiedThroughACheck();
    void aFullQueueIsNoOutage();
};

void tst_Passwords::verifiedThroughACheck_data()
{
    QTest::addColumn<int>("backend");
    QTest::addColumn<int>("route");
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("weakAllowed");
    QTest::addColumn<QByteArray>("answer");
    const int sqlite = int(Backend::Sqlite), maria = int(Backend::MariaDb), native = int(Route::Native);
    const QByteArray none = notFound();
    for (const QString &format : stored().keys()) {
        const QByteArray right
            = format.startsWith("over-") || format.startsWith("unknown-") ? none : found("id-" + format.toUtf8());
        const QByteArray strict = Weak.contains(format) ? none : right;
        QTest::newRow(qPrintable(format + "_right")) << sqlite << native << format << "Zq9secret" << false << strict;
        QTest::newRow(qPrintable(format + "_wrong")) << sqlite << native << format << "Xq9secret" << true << none;
        QTest::newRow(qPrintable(format + "_cut_short")) << sqlite << native << "cut-" + format << "Zq9secret" << true << none;
        if (Weak.contains(format))
            QTest::newRow(qPrintable(format + "_weak_allowed")) << sqlite << native << format << "Zq9secret" << true << right;
    }
    QTest::newRow("unknown_user") << sqlite << native << "nobody" << "Zq9secret" << false << none;
    QTest::newRow("too_many_rows") << sqlite << native << "many" << "Zq9secret" << false << none;
    for (const char *format : {"bcrypt", "argon2id", "django_pbkdf2_sha256"})
        QTest::newRow(qPrintable(QStringLiteral("mariadb_") + format)) << maria << native << format << "Zq9secret"
                                                                     << false << found(QByteArray("id-") + format);
}

void tst_Passwords::verifiedThroughACheck()
{
    FETCH_SERVER(server, table());
    QFETCH(QString, login);
    QFETCH(QString, password);
    QFETCH(bool, weakAllowed);
    QFETCH(QByteArray, answer);
    IniValues more {{QStringLiteral("sql/password_column"), QStringLiteral("pw")},
                    {QStringLiteral("sql/weak_hashes"), weakAllowed ? "true" : "false"}};
    MessageCapture capture;
    Agent agent;
    if (server) {
        IniValues values = serverAgentSettings(*server, ByLogin, QStringLiteral("uid"), Route(route));
        values.insert(more);
        agent.start(values);
    } else {
        QCOMPARE(startOnSqlite(agent, table(), ByLogin, QStringLiteral("uid"), more), QString());
    }
    QCOMPARE(exchange(agent.httpPort(), checkRequest(login.toUtf8(), password.toUtf8())), answer);

    // Past the limits is refused before any work, not merely a mismatch.
    if (login.startsWith("over-"))
        QVERIFY(capture.all().join('\n').contains("[e] a stored password is malformed or past the limits"));
    // The stored value is shown nowhere, nor the password in it.
    const QString value = stored().value(login.startsWith("cut-") ? login.mid(4) : login).left(20);
    for (const QString &shown : {capture.all().join('\n'), agent.inspect().panelLines().join('\n')}) {
        QVERIFY(value.isEmpty() || !shown.contains(value));
        QVERIFY(!shown.contains("Zq9secret"));
    }
}

// One verifying thread and no queue: while a bcrypt value at cost 14 holds it,
// another check gets the failure's answer. The database did answer that one,
// with a new password, so the cache's expired entry for the old one must not.
void tst_Passwords::aFullQueueIsNoOutage()
{
    AgentLimits limits = shortLimits();
    limits.passwords.maxWaiting = 0;
    Agent agent(limits);
    const QString slow = QString(stored().value("bcrypt")).replace("$2b$05$", "$2b$14$");
    QCOMPARE(startOnSqlite(agent, table() << QStringLiteral("insert into users values('slow', '%1', 'id-slow')").arg(slow),
                           ByLogin, QStringLiteral("uid"),
                           {{QStringLiteral("sql/password_column"), QStringLiteral("pw")}, {QStringLiteral("sql/hash_threads"), "1"},
                            {QStringLiteral("cache/ttl"), "1"}, {QStringLiteral("cache/stale"), "3600"}}),
             QString());
    QCOMPARE(exchange(agent.httpPort(), checkRequest("bcrypt", "Zq9secret")), found("id-bcrypt"));
    QCOMPARE(sqliteRun(agent.work.filePath(QStringLiteral("agent.db")),
                       {QStringLiteral("update users set pw = '{CLEAR}n3w' where login = 'bcrypt'")}),
             QString());
    QTest::qWait(1100); // past the entry's ttl
    Client holding(agent.httpPort(), checkRequest("slow", "Zq9secret"));
    QTest::qWait(100); // its statement has run and its verification holds the thread
    QCOMPARE(exchange(agent.httpPort(), checkRequest("bcrypt", "Zq9secret")), notFound());
    QVERIFY(holding.waitClosed());
}

QTEST_MAIN(tst_Passwords)
#include "tst_passwords.moc"
