#include "db/database.h"
#include "support/agent.h"
#include "support/sqlfixture.h"

#include <QMessageBox>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

namespace {
const QString FourReplacementChars = QString(4, QChar(0xFFFD));


const QRegularExpression StampedDebug(QStringLiteral(
    "^\"\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d \" (.*)$"));
} // namespace

class tst_Database : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // Start-up step
    void startupPanelAndLog();
    void portLine_data();
    void portLine();
    void openFailureReportedInFourPlaces();
    void emptyDsnGivesTwoBlanksBeforeSuccess();
    void testQueryWithManyRowsLeavesNoTrace();
    void testQuerySyntaxErrorReportedInDebugAndLog();

    // Credential check
    void checkUser_data();
    void checkUser();
    void statementErrorAnswersNoneWithoutReconnect();
    void checksInARowGetTheirOwnAnswers();
    void statementThatFailedToPrepareIsTriedAgain();
    void passwordNeverShown_data();
    void passwordNeverShown();
    void readmeSqliteIniWorks();

    // Recovery
    void reopensWhenStartupOpenFailed();
    void reopenIsRateLimited();
    void lookupStyleStatementsRecover_data();
    void lookupStyleStatementsRecover();
};

void tst_Database::initTestCase()
{
    REQUIRE_HERE(QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")),
                 QStringLiteral("no QSQLITE driver (Debian's libqt5sql5-sqlite)"));
}

void tst_Database::startupPanelAndLog()
{
    SqliteAgent agent;
    QCOMPARE(agent.writeSchema(), QString());
    IniValues v = agent.settings();
    v[QStringLiteral("sql/host")] = QStringLiteral("db.example");
    v[QStringLiteral("sql/port")] = QStringLiteral("5433");
    agent.start(v);
    const ServerInspector s = agent.inspect();

    QCOMPARE(s.panelLines(), startupPanel(QStringLiteral("db.example"), 5433, agent.dbPath()));
    QCOMPARE(agent.log(), QStringList({QStringLiteral("[i] Logger start."),
                                       QStringLiteral("[e] QSqlDatabase::drivers=") + driverList(),
                                       QStringLiteral("[+] Connect to DB ") + agent.dbPath()
                                           + QStringLiteral(" success")}));
    // Driver names joined by commas alone.
    QVERIFY(QRegularExpression(QStringLiteral("^Q\\w+(,Q\\w+)*$")).match(driverList()).hasMatch());
    QVERIFY(driverList().split(QLatin1Char(',')).contains(QStringLiteral("QSQLITE")));
    QVERIFY(s.db().isOpen());
    QCOMPARE(s.db().connectionName(), QString(QSqlDatabase::defaultConnection));
    QVERIFY(agent.boxes.boxes.isEmpty());
}

void tst_Database::portLine_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<int>("port");
    QTest::newRow("number") << "5432" << 5432;
    QTest::newRow("not_a_number_reads_as_0") << "five" << 0;
    QTest::newRow("negative") << "-1" << -1;
}

void tst_Database::portLine()
{
    QFETCH(QString, setting);
    QFETCH(int, port);
    SqliteAgent agent;
    IniValues v = agent.settings();
    v[QStringLiteral("sql/port")] = setting;
    agent.start(v);
    const ServerInspector s = agent.inspect();
    QCOMPARE(s.panelLines().value(2), QStringLiteral("port = [%1]").arg(port));
    QCOMPARE(s.db().port(), port);
}

void tst_Database::openFailureReportedInFourPlaces()
{
    SqliteAgent agent;
    IniValues v = agent.settings();
    const QString dsn = agent.work.filePath(QStringLiteral("no/such/dir/users.db"));
    v[QStringLiteral("sql/dsn")] = dsn;
    v[QStringLiteral("test/query1")] = QStringLiteral("SELEC 1"); // would leave a trace if it ran
    MessageCapture capture;
    agent.start(v);
    const ServerInspector s = agent.inspect();

    const QString error = s.db().lastError().text();
    QVERIFY(!error.isEmpty());
    QCOMPARE(s.panelLines(),
             startupPanel(QStringLiteral("localhost"), 1521, dsn)
                 << QStringLiteral("ERR: db.lastError()=") + error);
    QCOMPARE(capture.debugStartingWith(QStringLiteral("[e]")),
             QStringList(QStringLiteral("[e] db.lastError[1]= ") + debugQuoted(error)));
    QCOMPARE(agent.log(), QStringList({QStringLiteral("[i] Logger start."),
                                       QStringLiteral("[e] QSqlDatabase::drivers=") + driverList(),
                                       QStringLiteral("[e] db.lastError=") + error}));
    QCOMPARE(agent.boxes.boxes.size(), 1);
    QCOMPARE(agent.boxes.boxes.first().title, QStringLiteral("TOVR/MERK SQL Agent (checker)"));
    QCOMPARE(agent.boxes.boxes.first().text, QStringLiteral("[1] Unable to connect to SQL."));
    QCOMPARE(agent.boxes.boxes.first().icon, int(QMessageBox::Critical));
}

void tst_Database::emptyDsnGivesTwoBlanksBeforeSuccess()
{
    SqliteAgent agent;
    IniValues v = agent.settings();
    v[QStringLiteral("sql/dsn")] = QString(); // SQLite opens a private temporary database
    agent.start(v);
    QCOMPARE(agent.log().value(2), QStringLiteral("[+] Connect to DB  success"));
}

void tst_Database::testQueryWithManyRowsLeavesNoTrace()
{
    SqliteAgent agent;
    IniValues v = agent.settings();
    v[QStringLiteral("test/query1")] = QStringLiteral(
        "\"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) "
        "SELECT i, 'row ' || i FROM n\"");
    MessageCapture capture;
    agent.start(v);
    const ServerInspector s = agent.inspect();
    QCOMPARE(agent.log().size(), 3);
    QCOMPARE(s.panelLines().size(), 9);
    QVERIFY(capture.debugStartingWith(QStringLiteral("[e]")).isEmpty());
    QVERIFY(capture.warnings().isEmpty());
}

void tst_Database::testQuerySyntaxErrorReportedInDebugAndLog()
{
    SqliteAgent agent;
    IniValues v = agent.settings();
    v[QStringLiteral("test/query1")] = QStringLiteral("SELEC 1");
    MessageCapture capture;
    agent.start(v);
    const ServerInspector s = agent.inspect();

    const QStringList log = agent.log();
    QCOMPARE(log.size(), 5);
    QCOMPARE(log.at(3), QStringLiteral("[e] Unable to execute test query: SELEC 1"));
    QVERIFY(log.at(4).startsWith(QStringLiteral("[e] query.lastError=")));
    const QString error = log.at(4).mid(int(qstrlen("[e] query.lastError=")));
    QVERIFY(error.contains(QStringLiteral("SELEC")));
    QCOMPARE(capture.debugStartingWith(QStringLiteral("[e]")),
             QStringList(QStringLiteral("[e] q.le= ") + debugQuoted(error)));
    QCOMPARE(s.panelLines().size(), 9);
    QVERIFY(agent.boxes.boxes.isEmpty());
    QVERIFY(s.db().isOpen());

    agent.server->show();
    QVERIFY(QTest::qWaitForWindowExposed(agent.server.get()));
}

void tst_Database::checkUser_data()
{
    addCheckUserColumns();

    const QStringList alice{"i: USER_ID=1", "i: note=first"};
    const QStringList none;
    QTest::newRow("one_row") << "alice" << "wonderland" << "user_id" << "1" << "alice" << alice;
    QTest::newRow("several_rows_last_row_wins")
        << "twin" << "same" << "user_id" << "4" << "twin"
        << QStringList{"i: USER_ID=3", "i: note=a", "i: USER_ID=4", "i: note=b"};
    QTest::newRow("ret_param_case_ignored") << "alice" << "wonderland" << "User_Id" << "1" << "alice" << alice;
    QTest::newRow("null_value_is_empty")
        << "bob" << "builder" << "note" << "" << "bob" << QStringList{"i: USER_ID=2", "i: note="};
    QTest::newRow("unknown_column_is_empty") << "alice" << "wonderland" << "nosuch" << "" << "alice" << alice;
    QTest::newRow("wrong_password_none") << "alice" << "Wonderland" << "user_id" << "none" << "alice" << none;
    QTest::newRow("unknown_user_none") << "carol" << "x" << "user_id" << "none" << "carol" << none;
    // Bound as received; only the panel shows the CP1251 form.
    QTest::newRow("cyrillic_bound_unchanged") << "Иван" << "пароль" << "user_id" << "5"
                                              << FourReplacementChars
                                              << QStringList{"i: USER_ID=5", "i: note=cyr"};
    QTest::newRow("sql_or_true_finds_nothing")
        << "' or '1'='1" << "' or '1'='1" << "user_id" << "none" << "' or '1'='1" << none;
    QTest::newRow("sql_comment_out_password")
        << "alice' --" << "x" << "user_id" << "none" << "alice' --" << none;
    QTest::newRow("sql_stacked_delete_changes_nothing")
        << "x'; DELETE FROM users; --" << "x" << "user_id" << "none" << "x'; DELETE FROM users; --" << none;
    QTest::newRow("sql_stacked_drop_in_password")
        << "alice" << "x'; DROP TABLE users; --" << "user_id" << "none" << "alice" << none;
}

void tst_Database::checkUser()
{
    QFETCH(QString, retParam);
    SqliteAgent agent;
    QCOMPARE(agent.startOnUsers(retParam), QString());
    verifyCheckUserRow(agent.inspect());
}

// The statement stays prepared from one check to the next; each run must see
// only its own bound values, and rows written meanwhile by another connection.
void tst_Database::checksInARowGetTheirOwnAnswers()
{
    SqliteAgent agent;
    QCOMPARE(agent.startOnUsers(), QString());
    ServerInspector s = agent.inspect();
    MessageCapture capture;

    const struct { const char *user, *password, *expected; } checks[] = {
        {"alice", "wonderland", "1"}, {"bob", "builder", "2"}, {"alice", "builder", "none"},
        {"", "", "none"},             {"twin", "same", "4"},   {"alice", "wonderland", "1"},
    };
    for (const auto &c : checks)
        QCOMPARE(s.checkUser(QString::fromUtf8(c.user), QString::fromUtf8(c.password)),
                 QString::fromUtf8(c.expected));

    QCOMPARE(sqliteRun(agent.dbPath(), {QStringLiteral("UPDATE users SET id = 7 WHERE login = 'bob'"),
                                        QStringLiteral("INSERT INTO users VALUES (8, 'carol', 'c', NULL)")}),
             QString());
    QCOMPARE(s.checkUser(QStringLiteral("bob"), QStringLiteral("builder")), QStringLiteral("7"));
    QCOMPARE(s.checkUser(QStringLiteral("carol"), QStringLiteral("c")), QStringLiteral("8"));
}

// Only a statement that prepared is kept: one that failed (its table not there
// yet) is prepared again on the next check, and works once the table exists.
void tst_Database::statementThatFailedToPrepareIsTriedAgain()
{
    SqliteAgent agent;
    QCOMPARE(sqliteRun(agent.dbPath(), {QStringLiteral("CREATE TABLE other (x INTEGER)")}), QString());
    agent.start(agent.settings());
    ServerInspector s = agent.inspect();
    MessageCapture capture;
    QCOMPARE(s.checkUser(QStringLiteral("alice"), QStringLiteral("wonderland")), QStringLiteral("none"));

    QCOMPARE(agent.writeSchema(), QString());
    QCOMPARE(s.checkUser(QStringLiteral("alice"), QStringLiteral("wonderland")), QStringLiteral("1"));
    QCOMPARE(s.checkUser(QStringLiteral("bob"), QStringLiteral("builder")), QStringLiteral("2"));
}

void tst_Database::statementErrorAnswersNoneWithoutReconnect()
{
    SqliteAgent agent;
    const QString query = QStringLiteral("SELECT nosuch FROM users WHERE login = :s1 AND pass = :s2");
    QCOMPARE(agent.startOnUsers(QStringLiteral("user_id"), query), QString());
    ServerInspector s = agent.inspect();

    MessageCapture capture;
    QCOMPARE(s.checkUser(QStringLiteral("alice"), QStringLiteral("wonderland")), QStringLiteral("none"));

    QCOMPARE(linesAfter(s.panelLines(), QStringLiteral("s2: ********")),
             QStringList(QStringLiteral("ERR: db.lastError()=") + s.db().lastError().text()));
    const QStringList debug = capture.debug();
    QCOMPARE(debug.size(), 5);
    QVERIFY(debug.at(2).startsWith(QStringLiteral("[e] q.le= \"")));
    const QString quotedError = debug.at(2).mid(int(qstrlen("[e] q.le= ")));
    // SQLite reports the failed prepare as a parameter mismatch at exec(); any text will do.
    QVERIFY2(quotedError.size() > 2, qPrintable(quotedError));

    QRegularExpressionMatch e2 = StampedDebug.match(debug.at(3));
    QVERIFY2(e2.hasMatch(), qPrintable(debug.at(3)));
    QCOMPARE(e2.captured(1), QStringLiteral("[e] Unable to execute test query:  ") + debugQuoted(query));
    QRegularExpressionMatch e3 = StampedDebug.match(debug.at(4));
    QVERIFY2(e3.hasMatch(), qPrintable(debug.at(4)));
    QCOMPARE(e3.captured(1), QStringLiteral("[e] query.lastError= ") + quotedError);

    // A wrong statement is not a lost connection: no reopen was even tried.
    QCOMPARE(s.database().counters().reopenAttempts, quint64(0));
    QVERIFY(s.db().isOpen());
}

void tst_Database::passwordNeverShown_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("expected");
    QTest::newRow("right_password") << "wonderland" << "1";
    QTest::newRow("wrong_password") << "open sesame" << "none";
    QTest::newRow("empty_password") << "" << "none";
    QTest::newRow("non_ascii_password") << "пароль" << "none";
}

void tst_Database::passwordNeverShown()
{
    QFETCH(QString, password);
    QFETCH(QString, expected);
    SqliteAgent agent;
    QCOMPARE(agent.startOnUsers(), QString());
    ServerInspector s = agent.inspect();
    MessageCapture capture;
    // The bound value is the real password: only the right one finds the row.
    QCOMPARE(s.checkUser(QStringLiteral("alice"), password), expected);

    const QStringList panel = s.panelLines();
    QCOMPARE(panel.value(11), QStringLiteral("s2: ********"));
    if (!password.isEmpty()) {
        for (const QString &line : panel)
            QVERIFY2(!line.contains(password), qPrintable(line));
        for (const QString &line : capture.all())
            QVERIFY2(!line.contains(password), qPrintable(line));
    }
}

void tst_Database::readmeSqliteIniWorks()
{
    const QByteArray readme = readmeIni(QStringLiteral("QSQLITE"));
    QVERIFY2(!readme.isEmpty(), "README has no QSQLITE example under ## Database");
    SqliteAgent agent;
    QCOMPARE(agent.writeSchema(), QString());
    IniValues v = quietAgentSettings();
    v.remove(QStringLiteral("sql/type"));
    v.remove(QStringLiteral("test/query1"));
    v[QStringLiteral("sql/dsn")] = agent.dbPath();
    agent.start(withIniValues(readme, v));
    ServerInspector s = agent.inspect();

    QCOMPARE(agent.log().size(), 3); // opened, and its test query ran cleanly
    QVERIFY(agent.boxes.boxes.isEmpty());
    MessageCapture quiet;
    QCOMPARE(s.checkUser(QStringLiteral("alice"), QStringLiteral("wonderland")), QStringLiteral("1"));
    QCOMPARE(s.checkUser(QStringLiteral("alice"), QStringLiteral("nope")), QStringLiteral("none"));
}

void tst_Database::reopensWhenStartupOpenFailed()
{
    SqliteAgent agent;
    const QString dsn = agent.startBeforeDatabaseExists();
    QCOMPARE(agent.boxes.boxes.size(), 1);
    ServerInspector s = agent.inspect();

    QCOMPARE(agent.createDatabaseLater(), QString());
    MessageCapture capture;
    QCOMPARE(s.checkUser(QStringLiteral("alice"), QStringLiteral("wonderland")), QStringLiteral("1"));
    QCOMPARE(capture.warnings(), QStringList());
    QCOMPARE(linesAfter(s.panelLines(), QStringLiteral("s2: ********")),
             QStringList({QStringLiteral("[+] Reconnect to DB ") + dsn + QStringLiteral(" success"),
                          QStringLiteral("i: USER_ID=1"), QStringLiteral("i: note=first")}));
    QVERIFY(s.db().isOpen());
}

void tst_Database::reopenIsRateLimited()
{
    SqliteAgent agent;
    const QString dsn = agent.startBeforeDatabaseExists();
    ServerInspector s = agent.inspect();
    const auto check = [&s] {
        const QString result = s.checkUser(QStringLiteral("alice"), QStringLiteral("wonderland"));
        QStringList panel = s.panelLines();
        return qMakePair(result, panel.mid(panel.lastIndexOf(QStringLiteral("s2: ********")) + 1));
    };
    MessageCapture capture;

    // Still nothing to open: one attempt, reported, and failing fast from here on.
    auto first = check();
    QCOMPARE(first.first, QStringLiteral("none"));
    QCOMPARE(first.second.size(), 3);
    QVERIFY2(first.second.at(0).startsWith(QStringLiteral("ERR: reconnect: ")), qPrintable(first.second.at(0)));
    QVERIFY(first.second.at(1).startsWith(QStringLiteral("ERR: db.lastError()=")));
    QVERIFY2(first.second.at(2).startsWith(QStringLiteral("[e] database unavailable, failing fast")),
             qPrintable(first.second.at(2)));

    // The database exists now, but the last attempt is too recent to try again.
    QCOMPARE(agent.createDatabaseLater(), QString());
    auto second = check();
    QCOMPARE(second.first, QStringLiteral("none"));
    QCOMPARE(second.second.size(), 1);
    QVERIFY(second.second.at(0).startsWith(QStringLiteral("ERR: db.lastError()=")));

    s.database().setLimits({0}); // as if the interval had passed
    auto third = check();
    QCOMPARE(third.first, QStringLiteral("1"));
    QCOMPARE(third.second.value(0), QStringLiteral("[+] Reconnect to DB ") + dsn + QStringLiteral(" success"));
    QCOMPARE(third.second.last(), QStringLiteral("[+] database answers again"));
}

void tst_Database::lookupStyleStatementsRecover_data()
{
    QTest::addColumn<bool>("prepared");
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QVariantMap>("named");
    QTest::addColumn<QVariantList>("positional");
    QTest::addColumn<QString>("login");
    QTest::newRow("plain") << false << "SELECT login FROM users WHERE id = 5" << QVariantMap()
                           << QVariantList() << "Иван";
    QTest::newRow("prepared_positional")
        << true << "SELECT login FROM users WHERE id = ? AND pass = ?" << QVariantMap()
        << QVariantList{2, "builder"} << "bob";
    QTest::newRow("prepared_named") << true << "SELECT login FROM users WHERE id = :id"
                                    << QVariantMap{{":id", 4}} << QVariantList() << "twin";
}

void tst_Database::lookupStyleStatementsRecover()
{
    QFETCH(bool, prepared);
    QFETCH(QString, statement);
    QFETCH(QVariantMap, named);
    QFETCH(QVariantList, positional);
    QFETCH(QString, login);
    SqliteAgent agent;
    const QString dsn = agent.startBeforeDatabaseExists();
    ServerInspector s = agent.inspect();
    QCOMPARE(agent.createDatabaseLater(), QString());

    // Reopened before the statement runs: it never meets the closed connection.
    MessageCapture capture;
    Statement run;
    run.text = statement;
    run.prepared = prepared;
    run.named = named;
    run.positional = positional;
    const StatementResult result = s.database().run(run);
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.rows, QVector<QStringList>{QStringList{login}});
    QCOMPARE(result.reopen, StatementResult::Reopen::Succeeded);
    QCOMPARE(s.db().databaseName(), dsn);
    QCOMPARE(capture.warnings(), QStringList());
}

QTEST_MAIN(tst_Database)
#include "tst_database.moc"
