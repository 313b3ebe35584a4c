#include "support/agent.h"
#include "support/pgserver.h"
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
constexpr int AnswerWithinMs = TimeoutSeconds * 1000 + 3000;

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

} // namespace

class tst_Deadlines : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void lockedTableTimesOutFailsFastThenRecovers_data();
    void lockedTableTimesOutFailsFastThenRecovers();
    void stoppedServerProcessAnsweredByThePoolDeadline();
    void unavailableAnswer_data();
    void unavailableAnswer();
    void poolAnswersAndNarratesAsTheDialogThread_data();
    void poolAnswersAndNarratesAsTheDialogThread();

private:
    // Starts the agent on the driver's database with the statement, the time-out and the pool.
    void start(Agent &agent, const QString &driver, int pool, const QString &statement = CheckStatement,
               const IniValues &more = IniValues());
    std::unique_ptr<SqlSession> session(const QString &driver, const Agent &agent) const;

    std::unique_ptr<PgServer> pg;
    QString pgUnavailable;
};

void tst_Deadlines::initTestCase()
{
    pgUnavailable = PgServer::unavailableReason();
    if (!pgUnavailable.isEmpty())
        return; // the PostgreSQL rows skip with the reason
    pg = std::make_unique<PgServer>();
    QString error;
    QVERIFY2(pg->setUp(&error), qPrintable(error));
    QVERIFY2(pg->run(manyUsers(), &error), qPrintable(error));
}

void tst_Deadlines::start(Agent &agent, const QString &driver, int pool, const QString &statement,
                          const IniValues &more)
{
    IniValues overrides = more;
    overrides[QStringLiteral("sql/timeout")] = QString::number(TimeoutSeconds);
    overrides[QStringLiteral("sql/pool")] = QString::number(pool);
    if (driver == QLatin1String("QPSQL")) {
        IniValues values = serverAgentSettings(*pg, statement, QStringLiteral("uid"));
        for (auto it = overrides.cbegin(); it != overrides.cend(); ++it)
            values[it.key()] = it.value();
        agent.start(values);
        return;
    }
    QCOMPARE(startOnSqlite(agent, manyUsers(), statement, QStringLiteral("uid"), overrides), QString());
}

std::unique_ptr<SqlSession> tst_Deadlines::session(const QString &driver, const Agent &agent) const
{
    if (driver == QLatin1String("QPSQL"))
        return serverSession(*pg);
    const QString path = agent.work.filePath(QStringLiteral("agent.db"));
    return std::make_unique<SqlSession>(driver, [path](QSqlDatabase &db) { db.setDatabaseName(path); });
}

void tst_Deadlines::lockedTableTimesOutFailsFastThenRecovers_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<int>("pool");
    QTest::addColumn<QStringList>("lock");
    const QStringList sqliteLock{QStringLiteral("BEGIN EXCLUSIVE")};
    const QStringList psqlLock{QStringLiteral("BEGIN"), QStringLiteral("LOCK TABLE users IN ACCESS EXCLUSIVE MODE")};
    QTest::newRow("sqlite_file_locked") << "QSQLITE" << 0 << sqliteLock;
    QTest::newRow("sqlite_file_locked_pool") << "QSQLITE" << 2 << sqliteLock;
    QTest::newRow("psql_table_locked") << "QPSQL" << 0 << psqlLock;
    QTest::newRow("psql_table_locked_pool") << "QPSQL" << 2 << psqlLock;
}

void tst_Deadlines::lockedTableTimesOutFailsFastThenRecovers()
{
    QFETCH(QString, driver);
    QFETCH(int, pool);
    QFETCH(QStringList, lock);
    if (driver == QLatin1String("QPSQL") && !pg)
        QSKIP(qPrintable(pgUnavailable));
    MessageCapture capture;
    Agent agent;
    start(agent, driver, pool);
    QCOMPARE(exchange(agent.httpPort(), Alice).toHex(), foundAnswer("u-17").toHex());

    auto holder = session(driver, agent);
    holder->run(lock);
    const QByteArray timedOut = exchange(agent.httpPort(), Alice, AnswerWithinMs);
    QVERIFY2(NotFound.match(QString::fromLatin1(timedOut)).hasMatch(), timedOut.constData());
    QCOMPARE(panelCount(agent, QStringLiteral("[e] database unavailable, failing fast until it answers again: ")), 1);
    QCOMPARE(agent.inspect().executor().counters().timeouts, quint64(1));
    // The next check is not sent into the same wall.
    QVERIFY(NotFound.match(QString::fromLatin1(exchange(agent.httpPort(), Alice))).hasMatch());
    QCOMPARE(agent.inspect().executor().counters().failedFast, quint64(1));

    holder.reset(); // the lock goes with its session
    QTRY_COMPARE_WITH_TIMEOUT(exchange(agent.httpPort(), Alice).toHex(), foundAnswer("u-17").toHex(),
                              agent.limits.database.reopenIntervalMs + AnswerWithinMs);
    QCOMPARE(panelCount(agent, QStringLiteral("[+] database answers again")), 1);
}

// A stopped server process keeps its TCP connection: no driver time-out ends
// the call. The pool's connection stays stuck, but the check is answered from
// the dialog's thread at its deadline, and requests that need no database are
// served meanwhile.
void tst_Deadlines::stoppedServerProcessAnsweredByThePoolDeadline()
{
    if (!pg)
        QSKIP(qPrintable(pgUnavailable));
    MessageCapture capture;
    Agent agent;
    start(agent, QStringLiteral("QPSQL"), 2);
    QCOMPARE(exchange(agent.httpPort(), Alice).toHex(), foundAnswer("u-17").toHex());
    auto observer = session(QStringLiteral("QPSQL"), agent);
    const QString others = QStringLiteral("select pid from pg_stat_activity where usename = 'agent' and pid <> "
                                          "pg_backend_pid()");
    QTRY_COMPARE(observer->run({others}).size(), 3); // db and the pool's two

    {
        const StoppedProcesses stopped(observer->run({others}));
        QCOMPARE(stopped.stopped.size(), 3);
        QVERIFY(NotFound.match(QString::fromLatin1(exchange(agent.httpPort(), Alice, AnswerWithinMs))).hasMatch());
        QCOMPARE(agent.inspect().executor().counters().timeouts, quint64(1));
        QVERIFY(NotFound.match(QString::fromLatin1(exchange(agent.httpPort(), "get / HTTP/1.0\r\n"))).hasMatch());
    }
    QTRY_COMPARE_WITH_TIMEOUT(exchange(agent.httpPort(), Alice).toHex(), foundAnswer("u-17").toHex(),
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
    start(agent, QStringLiteral("QSQLITE"), 0, statement, more);

    auto holder = session(QStringLiteral("QSQLITE"), agent);
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
        start(agent, QStringLiteral("QSQLITE"), pool * 2, statement);
        const int startup = agent.inspect().panelLines().size();
        capture.clear();
        answers[pool] = exchange(agent.httpPort(), request);
        narration[pool] = capture.debug() + agent.inspect().panelLines().mid(startup);
        narration[pool].replaceInStrings(stamp, QStringLiteral("<stamp>"));
    }
    QCOMPARE(answers[1].toHex(), answers[0].toHex());
    QVERIFY(narration[0].size() > 10);
    QCOMPARE(narration[1], narration[0]);
}

QTEST_MAIN(tst_Deadlines)
#include "tst_deadlines.moc"
