#include "db/database.h"
#include "support/agent.h"
#include "support/pgserver.h"
#include "support/sqlfixture.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

namespace {
// The last failed reopen happens before the server is back, so the next
// attempt is due at most one interval later; the extra second is slack for
// a loaded machine.
int recoveryTimeoutMs(const Agent &agent)
{
    return agent.limits.database.reopenIntervalMs + 1000;
}
} // namespace

class tst_Postgres : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    // Start-up step
    void readmePostgresIniWorks();
    void wrongPasswordReportedOnceEverywhere();

    // Credential check
    void checkUser_data();
    void checkUser();

    // Recovery
    void serverRestartWhileAgentRuns();
    void serverDownAtStartupThenUp();
    void statementAfterRestartReconnectsAtOnce_data();
    void statementAfterRestartReconnectsAtOnce();

    // Encryption, through the connect options
    void databasePathOverTls_data();
    void databasePathOverTls();

private:
    IniValues settings(const QString &retParam = QStringLiteral("user_id"),
                       const QString &query = CheckQuery) const;
    QString check(Agent &agent, const QString &user = QStringLiteral("alice"),
                  const QString &password = QStringLiteral("wonderland")) const;

    std::unique_ptr<PgServer> pg;
    QTemporaryDir certificateDir;
    bool tlsOn = false;
};

IniValues tst_Postgres::settings(const QString &retParam, const QString &query) const
{
    return serverAgentSettings(*pg, query, retParam);
}

QString tst_Postgres::check(Agent &agent, const QString &user, const QString &password) const
{
    return agent.inspect().checkUser(user, password);
}

void tst_Postgres::initTestCase()
{
    const QString reason = PgServer::unavailableReason();
    REQUIRE_HERE(reason.isEmpty(), reason);
    pg = std::make_unique<PgServer>();
    QString error;
    QVERIFY2(pg->setUp(&error), qPrintable(error));
    QVERIFY2(pg->run(UsersSchema, &error), qPrintable(error));
}

void tst_Postgres::cleanupTestCase()
{
    pg.reset();
}

void tst_Postgres::init()
{
    // A test that failed half-way through an outage must not take the rest with it.
    QString error;
    if (pg && !pg->isRunning())
        QVERIFY2(pg->start(&error), qPrintable(error));
}

void tst_Postgres::readmePostgresIniWorks()
{
    const QByteArray readme = readmeIni(QStringLiteral("QPSQL"));
    QVERIFY2(!readme.isEmpty(), "README has no QPSQL example under ## Database");
    IniValues v = quietAgentSettings();
    v.remove(QStringLiteral("sql/type"));
    v.remove(QStringLiteral("sql/dsn"));
    v.remove(QStringLiteral("test/query1"));
    v[QStringLiteral("sql/port")] = QString::number(pg->port()); // the rest as the README has it
    Agent agent;
    agent.start(withIniValues(readme, v));

    QVERIFY(agent.boxes.boxes.isEmpty());
    QCOMPARE(agent.log().value(2), QStringLiteral("[+] Connect to DB agentdb success"));
    QCOMPARE(agent.log().size(), 3); // its test query ran cleanly
    MessageCapture quiet;
    QCOMPARE(check(agent), QStringLiteral("1"));
    QCOMPARE(check(agent, QStringLiteral("alice"), QStringLiteral("nope")), QStringLiteral("none"));
}

void tst_Postgres::wrongPasswordReportedOnceEverywhere()
{
    IniValues v = settings();
    v[QStringLiteral("sql/password")] = QStringLiteral("not-the-password");
    v[QStringLiteral("test/query1")] = QStringLiteral("SELEC 1"); // would leave a trace if it ran
    Agent agent;
    MessageCapture capture;
    agent.start(v);
    const ServerInspector s = agent.inspect();

    const QString error = s.db().lastError().text();
    QVERIFY2(error.contains(QStringLiteral("password authentication failed")), qPrintable(error));
    const QStringList panel = s.panelLines();
    QCOMPARE(panel.value(3), QStringLiteral("type = [QPSQL]"));
    QCOMPARE(panel.value(5), QStringLiteral("db.driverName()=QPSQL"));
    // The driver's text spans lines; the panel shows it whole after the label.
    QCOMPARE(panel.mid(9).join(QLatin1Char('\n')), QStringLiteral("ERR: db.lastError()=") + error);

    QCOMPARE(capture.debugStartingWith(QStringLiteral("[e]")), QStringList(QStringLiteral("[e] db.lastError[1]= ") + debugQuoted(error)));

    const QStringList log = agent.log();
    QCOMPARE(log.size(), 3);
    QCOMPARE(log.at(2), QStringLiteral("[e] db.lastError=") + error);
    QCOMPARE(agent.boxes.texts(), QStringList(QStringLiteral("[1] Unable to connect to SQL.")));
}

void tst_Postgres::checkUser_data()
{
    addCheckUserColumns();

    // PostgreSQL folds the unquoted alias USER_ID to lower case.
    const QStringList alice{"i: user_id=1", "i: note=first"};
    QTest::newRow("several_rows_last_row_wins")
        << "twin" << "same" << "user_id" << "4" << "twin"
        << QStringList{"i: user_id=3", "i: note=a", "i: user_id=4", "i: note=b"};
    QTest::newRow("ret_param_upper_case_finds_lower") << "alice" << "wonderland" << "USER_ID" << "1"
                                                      << "alice" << alice;
    QTest::newRow("null_value_is_empty") << "bob" << "builder" << "note" << "" << "bob"
                                         << QStringList{"i: user_id=2", "i: note="};
    QTest::newRow("no_row_none") << "alice" << "wrong" << "user_id" << "none" << "alice" << QStringList();
    QTest::newRow("cyrillic_bound_unchanged") << "Иван" << "пароль" << "user_id" << "5"
                                              << QString(4, QChar(0xFFFD))
                                              << QStringList{"i: user_id=5", "i: note=cyr"};
    QTest::newRow("sql_or_true_finds_nothing") << "' or '1'='1" << "' or '1'='1" << "user_id" << "none"
                                               << "' or '1'='1" << QStringList();
    QTest::newRow("sql_stacked_delete_changes_nothing")
        << "x'; DELETE FROM users; --" << "x" << "user_id" << "none" << "x'; DELETE FROM users; --"
        << QStringList();
}

void tst_Postgres::checkUser()
{
    QFETCH(QString, retParam);
    Agent agent;
    agent.start(settings(retParam));
    verifyCheckUserRow(agent.inspect());
}

void tst_Postgres::serverRestartWhileAgentRuns()
{
    Agent agent;
    agent.start(settings());
    ServerInspector s = agent.inspect();
    MessageCapture capture;
    QCOMPARE(check(agent), QStringLiteral("1"));

    QString error;
    QVERIFY2(pg->stop(&error), qPrintable(error));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(check(agent), QStringLiteral("none"));
    // Only the first failure tried to reopen; the others fell inside the interval.
    QCOMPARE(s.panelLines().filter(QRegularExpression(QStringLiteral("^ERR: reconnect: "))).size(), 1);

    QVERIFY2(pg->start(&error), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(check(agent), QStringLiteral("1"), recoveryTimeoutMs(agent));
    QCOMPARE(s.panelLines().filter(QStringLiteral("[+] Reconnect to DB agentdb success")).size(), 1);
    QVERIFY(s.db().isOpen());
    // Qt's own words while the server is away, and when the statement prepared
    // on the lost session is let go before the reopen.
    const QStringList expected{QStringLiteral("QSqlQuery::prepare: database not open"),
                               QStringLiteral("Unable to free statement: connection pointer is NULL\n")};
    // Besides the agent's own failure lines, which its debug output holds.
    for (const QString &warning : capture.warnings())
        QVERIFY2(expected.contains(warning) || capture.debug().contains(warning), qPrintable(warning));
}

void tst_Postgres::serverDownAtStartupThenUp()
{
    QString error;
    QVERIFY2(pg->stop(&error), qPrintable(error));
    Agent agent;
    MessageCapture capture;
    agent.start(settings());
    ServerInspector s = agent.inspect();
    QCOMPARE(agent.boxes.texts(), QStringList(QStringLiteral("[1] Unable to connect to SQL.")));
    QCOMPARE(check(agent), QStringLiteral("none"));

    QVERIFY2(pg->start(&error), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(check(agent), QStringLiteral("1"), recoveryTimeoutMs(agent));
    QCOMPARE(s.panelLines().filter(QStringLiteral("[+] Reconnect to DB agentdb success")).size(), 1);
}

void tst_Postgres::statementAfterRestartReconnectsAtOnce_data()
{
    QTest::addColumn<bool>("prepared");
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QVariantList>("positional");
    QTest::newRow("plain") << false << "SELECT login FROM users WHERE id = 2" << QVariantList();
    QTest::newRow("prepared_positional")
        << true << "SELECT login FROM users WHERE id = ? AND pass = ?" << QVariantList{2, "builder"};
}

// The restart ends the agent's session under it; the first statement meets
// the dead session, and with no reopen tried before, it recovers at once.
void tst_Postgres::statementAfterRestartReconnectsAtOnce()
{
    QFETCH(bool, prepared);
    QFETCH(QString, statement);
    QFETCH(QVariantList, positional);
    Agent agent;
    agent.start(settings());
    ServerInspector s = agent.inspect();
    QString error;
    QVERIFY2(pg->stop(&error), qPrintable(error));
    QVERIFY2(pg->start(&error), qPrintable(error));

    MessageCapture capture;
    Statement run;
    run.text = statement;
    run.prepared = prepared;
    run.positional = positional;
    const StatementResult result = s.database().run(run);
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.rows, QVector<QStringList>{QStringList{QStringLiteral("bob")}});
    QCOMPARE(result.reopen, StatementResult::Reopen::Succeeded);
    QCOMPARE(capture.warnings(), QStringList());
}

void tst_Postgres::databasePathOverTls_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<QString>("expected");
    QTest::newRow("sslmode_require") << QStringLiteral("sslmode=require") << QStringLiteral("tls");
    QTest::newRow("sslmode_disable") << QStringLiteral("sslmode=disable") << QStringLiteral("plain");
}

// sql/options reaches the driver's connection: the server itself says whether
// the agent's session is encrypted.
void tst_Postgres::databasePathOverTls()
{
    QFETCH(QString, options);
    QFETCH(QString, expected);
    if (!tlsOn) {
        QCOMPARE(makeCertificate(certificateDir.path()), QString());
        QString error;
        QVERIFY2(pg->enableTls(certificateDir.filePath(QStringLiteral("cert.pem")),
                               certificateDir.filePath(QStringLiteral("key.pem")), &error),
                 qPrintable(error));
        tlsOn = true;
    }
    IniValues values = settings(QStringLiteral("session"),
        QStringLiteral("select case when ssl then 'tls' else 'plain' end as session from pg_stat_ssl "
                       "where pid = pg_backend_pid() and :s1 <> :s2"));
    values[QStringLiteral("sql/options")] = options;
    Agent agent;
    agent.start(values);
    QCOMPARE(check(agent), expected);
}

QTEST_MAIN(tst_Postgres)
#include "tst_postgres.moc"
