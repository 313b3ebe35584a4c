#include "support/agent.h"
#include "support/sqlserver.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

// Every wait for the database bounded, failing fast while it does not answer,
// the pool, and the opt-in 503: against a real SQLite file and a real
// PostgreSQL server. sql/timeout is 1 s, its smallest value.
namespace {

const QByteArray Alice = checkRequest("alice", "Zq9secret");
const QRegularExpression NotFound(QStringLiteral("^HTTP/1.0 200 Ok\r\n.*\\{\"rez\":\"notfount\",\"e\":\"n\"\\}\n$"),
                                  QRegularExpression::DotMatchesEverythingOption);
const QRegularExpression Unavailable(QStringLiteral("^HTTP/1.0 503 Service Unavailable\r\n.*\r\nRetry-After: \\d+\r\n"
                                                    "\r\n\\{\"rez\":\"unavailable\",\"e\":\"db\"\\}\n$"),
                                     QRegularExpression::DotMatchesEverythingOption);
constexpr int TimeoutSeconds = 1;
// Long enough for the time-out plus a loaded machine; far below the stall.
// MySQL's client library reads three times, a second each at this time-out,
// so its answer comes after three seconds, and later in the sanitizer build.
constexpr int AnswerWithinMs = TimeoutSeconds * 1000 + 5000;

// The users table with 2,000 more rows, for a result narrated over several passes.
QStringList manyUsers()
{
    QStringList statements{QStringLiteral("BEGIN")};
    for (int i = 0; i < 2000; ++i)
        statements << QStringLiteral("insert into users values('many%1', 'm', 'u-%1')").arg(i);
    return usersTable(statements << QStringLiteral("COMMIT"));
}


// How many of the panel's lines start with prefix.
int panelCount(const Agent &agent, const QString &prefix)
{
    const QStringList panel = agent.inspect().panelLines();
    return int(std::count_if(panel.cbegin(), panel.cend(), [&](const QString &line) { return line.startsWith(prefix); }));
}

// A found answer from each of the pool's connections at once (from the one connection without a pool), so
// each has opened. On a loaded machine an open can outlast the deadline: the checks are asked again until found.
bool allAnswering(const Agent &agent, int pool)
{
    const QVector<QByteArray> checks(qMax(1, pool), Alice);
    return QTest::qWaitFor([&] { return answersTo(agent.httpPort(), checks, checks.size(), AnswerWithinMs)
                                        == QVector<QByteArray>(checks.size(), found("u-17")); },
                           agent.limits.database.reopenIntervalMs + 2 * AnswerWithinMs);
}

} // namespace

class tst_Deadlines : public QObject
{
    Q_OBJECT

private slots:
    void lockedTableTimesOutFailsFastThenRecovers_data();
    void lockedTableTimesOutFailsFastThenRecovers();
    void stoppedServerAnsweredAtTheDeadline_data();
    void stoppedServerAnsweredAtTheDeadline();
    void unavailableAnswer_data();
    void unavailableAnswer();
    void poolAnswersAndNarratesAsTheDialogThread_data();
    void poolAnswersAndNarratesAsTheDialogThread();

private:
    // Starts the agent on the row's database (SQLite when server is null)
    // with the statement, the time-out and the pool.
    void start(Agent &agent, SqlServer *server, int route, int pool, const QString &statement = CheckStatement,
               const IniValues &more = IniValues());
    std::unique_ptr<SqlSession> session(SqlServer *server, const Agent &agent) const;
};

// The row's server; none for SQLite.
#define FETCH_TARGET(server) FETCH_SERVER(server, Backend(backend) == Backend::Postgres ? manyUsers() : usersTable())

void tst_Deadlines::start(Agent &agent, SqlServer *server, int route, int pool, const QString &statement,
                          const IniValues &more)
{
    IniValues overrides = more;
    overrides[QStringLiteral("sql/timeout")] = QString::number(TimeoutSeconds);
    overrides[QStringLiteral("sql/pool")] = QString::number(pool);
    if (server) {
        IniValues values = serverAgentSettings(*server, statement, QStringLiteral("uid"), Route(route));
        for (auto it = overrides.cbegin(); it != overrides.cend(); ++it)
            values[it.key()] = it.value();
        agent.start(values);
        return;
    }
    QCOMPARE(startOnSqlite(agent, manyUsers(), statement, QStringLiteral("uid"), overrides), QString());
}

std::unique_ptr<SqlSession> tst_Deadlines::session(SqlServer *server, const Agent &agent) const
{
    if (server)
        return serverSession(*server);
    const QString path = agent.work.filePath(QStringLiteral("agent.db"));
    return std::make_unique<SqlSession>(QStringLiteral("QSQLITE"), [path](QSqlDatabase &db) { db.setDatabaseName(path); });
}

void tst_Deadlines::lockedTableTimesOutFailsFastThenRecovers_data()
{
    QTest::addColumn<int>("backend");
    QTest::addColumn<int>("route");
    QTest::addColumn<int>("pool");
    QTest::addColumn<QStringList>("lock");
    QTest::addColumn<bool>("listed"); // sql/host lists a second server, one that is down
    const QStringList sqliteLock{QStringLiteral("BEGIN EXCLUSIVE")};
    const QStringList psqlLock{QStringLiteral("BEGIN"), QStringLiteral("LOCK TABLE users IN ACCESS EXCLUSIVE MODE")};
    const QStringList mysqlLock{QStringLiteral("LOCK TABLES users WRITE")};
    const int sqlite = int(Backend::Sqlite), pg = int(Backend::Postgres), maria = int(Backend::MariaDb);
    const int native = int(Route::Native), string = int(Route::OdbcString), dsn = int(Route::OdbcDsn);
    QTest::newRow("sqlite_file_locked") << sqlite << native << 0 << sqliteLock << false;
    QTest::newRow("sqlite_file_locked_pool") << sqlite << native << 2 << sqliteLock << false;
    QTest::newRow("psql_table_locked") << pg << native << 0 << psqlLock << false;
    QTest::newRow("psql_table_locked_pool") << pg << native << 2 << psqlLock << false;
    QTest::newRow("psql_table_locked_listed") << pg << native << 0 << psqlLock << true; // the server is still there
    QTest::newRow("mysql_table_locked") << maria << native << 0 << mysqlLock << false;
    QTest::newRow("odbc_psql_table_locked") << pg << string << 0 << psqlLock << false;
    QTest::newRow("odbc_mariadb_table_locked") << maria << dsn << 0 << mysqlLock << false;
    QTest::newRow("odbc_mariadb_table_locked_pool") << maria << dsn << 2 << mysqlLock << false;
}

void tst_Deadlines::lockedTableTimesOutFailsFastThenRecovers()
{
    FETCH_TARGET(server);
    QFETCH(int, pool);
    QFETCH(QStringList, lock);
    QFETCH(bool, listed);
    MessageCapture capture;
    Agent agent;
    start(agent, server, route, pool, CheckStatement,
          listed ? IniValues {{"sql/host", QString("127.0.0.1:%1,127.0.0.1:%2").arg(server->port()).arg(freePort())}} : IniValues());
    QVERIFY(allAnswering(agent, pool));
    const StatementExecutor::Counters before = agent.inspect().executor().counters();
    const QString failing = QStringLiteral("[e] database unavailable, failing fast until it answers again: ");
    const QString again = QStringLiteral("[+] database answers again");
    const int failingSaid = panelCount(agent, failing), againSaid = panelCount(agent, again);

    auto holder = session(server, agent);
    holder->run(lock);
    const QByteArray timedOut = exchange(agent.httpPort(), Alice, AnswerWithinMs);
    QVERIFY2(NotFound.match(QString::fromLatin1(timedOut)).hasMatch(), timedOut.constData());
    QCOMPARE(panelCount(agent, failing), failingSaid + 1);
    QCOMPARE(agent.inspect().executor().counters().timeouts, before.timeouts + 1);
    // The next check is not sent into the same wall.
    QVERIFY(NotFound.match(QString::fromLatin1(exchange(agent.httpPort(), Alice))).hasMatch());
    QCOMPARE(agent.inspect().executor().counters().failedFast, before.failedFast + 1);

    holder.reset(); // the lock goes with its session
    QTRY_COMPARE_WITH_TIMEOUT(exchange(agent.httpPort(), Alice).toHex(), found("u-17").toHex(),
                              agent.limits.database.reopenIntervalMs + AnswerWithinMs);
    QCOMPARE(panelCount(agent, again), againSaid + 1);
}

void tst_Deadlines::stoppedServerAnsweredAtTheDeadline_data()
{
    QTest::addColumn<int>("backend");
    QTest::addColumn<int>("route");
    QTest::addColumn<int>("pool");
    QTest::addColumn<bool>("retired");
    const int pg = int(Backend::Postgres), maria = int(Backend::MariaDb), firebird = int(Backend::Firebird);
    const int native = int(Route::Native), string = int(Route::OdbcString), dsn = int(Route::OdbcDsn);
    // Only MySQL's read time-out ends a call to a stopped server; every other
    // driver's connection is given up on by the pool.
    QTest::newRow("psql_pool") << pg << native << 2 << true;
    QTest::newRow("firebird_pool") << firebird << native << 2 << true;
    QTest::newRow("odbc_psql_pool") << pg << string << 2 << true;
    QTest::newRow("odbc_mariadb_pool") << maria << dsn << 2 << true;
    QTest::newRow("mysql_pool") << maria << native << 2 << false;
    QTest::newRow("mysql") << maria << native << 0 << false;
}

// A stopped server process keeps its TCP connections open and never answers.
// The check is answered at its deadline all the same, by the driver's own
// time-out or from the dialog's thread, and the agent goes on serving. How
// long a request that needs no database waits meanwhile is the battery's to
// measure (make abuse).
void tst_Deadlines::stoppedServerAnsweredAtTheDeadline()
{
    FETCH_TARGET(server);
    QFETCH(int, pool);
    QFETCH(bool, retired);
    MessageCapture capture;
    Agent agent;
    start(agent, server, route, pool);
    QVERIFY(allAnswering(agent, pool));
    const StatementExecutor::Counters before = agent.inspect().executor().counters();
    {
        const StoppedProcesses stopped(server->processes());
        QVERIFY(!stopped.stopped.isEmpty());
        for (int i = 0; i < 2; ++i) { // at the deadline, then failing fast
            const QByteArray answer = exchange(agent.httpPort(), Alice, AnswerWithinMs);
            QVERIFY2(NotFound.match(QString::fromLatin1(answer)).hasMatch(),
                     qPrintable(QString::number(i) + QLatin1Char(' ') + QString::fromLatin1(answer)));
        }
        QCOMPARE(agent.inspect().executor().counters().timeouts, before.timeouts + 1);
        QCOMPARE(agent.inspect().executor().counters().retired > before.retired, retired);
        QVERIFY(NotFound.match(QString::fromLatin1(exchange(agent.httpPort(), "get / HTTP/1.0\r\n"))).hasMatch());
    }
    QTRY_COMPARE_WITH_TIMEOUT(exchange(agent.httpPort(), Alice).toHex(), found("u-17").toHex(),
                              agent.limits.database.reopenIntervalMs + AnswerWithinMs);
}

void tst_Deadlines::unavailableAnswer_data()
{
    QTest::addColumn<QString>("statement");
    QTest::addColumn<bool>("locked");
    QTest::addColumn<QString>("setting");
    QTest::addColumn<bool>("answered503");
    const QString missingTable = QStringLiteral("select uid from nosuch where login=:s1 and pw=:s2");
    QTest::newRow("timed_out_on") << CheckStatement << true << "true" << true;
    QTest::newRow("timed_out_off") << CheckStatement << true << "false" << false;
    QTest::newRow("statement_failed_on") << missingTable << false << "true" << true;
    QTest::newRow("statement_failed_default") << missingTable << false << "" << false;
}

// The time-out and the failing fast that follows are both answered alike.
void tst_Deadlines::unavailableAnswer()
{
    QFETCH(QString, statement);
    QFETCH(bool, locked);
    QFETCH(QString, setting);
    QFETCH(bool, answered503);
    MessageCapture capture;
    Agent agent;
    IniValues more;
    if (!setting.isEmpty())
        more[QStringLiteral("http/unavailable")] = setting;
    start(agent, nullptr, 0, 0, statement, more);

    auto holder = session(nullptr, agent);
    if (locked)
        holder->run({QStringLiteral("BEGIN EXCLUSIVE")});
    for (int i = 0; i < 2; ++i) {
        const QString answer = QString::fromLatin1(exchange(agent.httpPort(), Alice, AnswerWithinMs));
        QVERIFY2((answered503 ? Unavailable : NotFound).match(answer).hasMatch(), qPrintable(answer));
    }
    // Found and not found are answered as ever.
    holder.reset();
    if (!locked)
        QVERIFY(NotFound.match(QString::fromLatin1(exchange(agent.httpPort(), "GET /other HTTP/1.0\r\n"))).hasMatch());
}

void tst_Deadlines::poolAnswersAndNarratesAsTheDialogThread_data()
{
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("found") << CheckStatement << Alice;
    QTest::newRow("not_found") << CheckStatement << checkRequest("alice", "wrong");
    QTest::newRow("statement_error") << QStringLiteral("select uid from nosuch where login=:s1 and pw=:s2") << Alice;
    // Long enough to be narrated over several passes of the event loop, short
    // enough that the panel's queue drops none of it (which lines it drops
    // depends on when it is drawn).
    QTest::newRow("many_rows") << QStringLiteral("select uid, login from users where :s1 <> :s2 limit 600") << Alice;
}

// Whichever thread ran the statement: the same answer, the same debug lines
// and panel lines, in the same order.
void tst_Deadlines::poolAnswersAndNarratesAsTheDialogThread()
{
    QFETCH(QString, statement);
    QFETCH(QByteArray, request);
    const QRegularExpression stamp(QStringLiteral("\"\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d \""));
    QStringList narration[2];
    QByteArray answers[2];
    MessageCapture capture;
    for (int pool : {0, 1}) {
        Agent agent;
        start(agent, nullptr, 0, pool * 2, statement);
        const int startup = agent.inspect().panelLines().size();
        capture.clear();
        answers[pool] = exchange(agent.httpPort(), request);
        // A long result's rows may still be told after the answer went out.
        if (answers[pool].contains("exist"))
            QTRY_COMPARE(capture.debugStartingWith(QStringLiteral("[+] user exist!")).size(), 1);
        narration[pool] = capture.debug() + agent.inspect().panelLines().mid(startup);
        narration[pool].replaceInStrings(stamp, QStringLiteral("<stamp>"));
    }
    QCOMPARE(answers[1].toHex(), answers[0].toHex());
    QVERIFY(narration[0].size() > 10);
    QCOMPARE(narration[1], narration[0]);
}

QTEST_MAIN(tst_Deadlines)
#include "tst_deadlines.moc"
