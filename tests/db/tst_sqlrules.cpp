#include "app/settings.h"
#include "db/failfast.h"
#include "db/serverlist.h"
#include "db/sqlrules.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QtTest>

// The database's rules as pure functions, without a connection.
class tst_SqlRules : public QObject
{
    Q_OBJECT

private slots:
    void bindInput_data();
    void bindInput();
    void displayForm_data();
    void displayForm();
    void failureJudged_data();
    void failureJudged();
    void reopenAllowedOncePerInterval();
    void connectOptions_data();
    void connectOptions();
    void maskCredentials_data();
    void maskCredentials();
    void failFastGateOpensOncePerInterval();
    void missingCheckPlaceholders_data();
    void missingCheckPlaceholders();
    void serverList_data();
    void serverList();
    void tryOrder_data();
    void tryOrder();
};

void tst_SqlRules::bindInput_data()
{
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("placeholders");

    QString defaultBound = Settings::DefaultSqlQuery;
    defaultBound.replace("yres_id=%1", "yres_id=:lookup_input_1");
    QTest::newRow("default_statement") << Settings::DefaultSqlQuery << defaultBound
                                       << QStringList{":lookup_input_1"};
    QTest::newRow("every_occurrence") << "select a from t where a=%1 or b=%1"
                                      << "select a from t where a=:lookup_input_1 or b=:lookup_input_2"
                                      << QStringList{":lookup_input_1", ":lookup_input_2"};
    QTest::newRow("quoted_occurrence_loses_quotes") << "select a from t where c='%1' and d=%1"
                                                    << "select a from t where c=:lookup_input_1 and d=:lookup_input_2"
                                                    << QStringList{":lookup_input_1", ":lookup_input_2"};
    QTest::newRow("without_placeholder_unchanged") << "select 1" << "select 1" << QStringList();
    QTest::newRow("other_markers_unchanged") << "select '%2' from t" << "select '%2' from t" << QStringList();
    QTest::newRow("empty") << "" << "" << QStringList();
}

void tst_SqlRules::bindInput()
{
    QFETCH(QString, statement);
    QFETCH(QString, text);
    QFETCH(QStringList, placeholders);
    const Sql::BoundStatement bound = Sql::bindInput(statement);
    QCOMPARE(bound.text, text);
    QCOMPARE(bound.placeholders, placeholders);
}

void tst_SqlRules::displayForm_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");
    QTest::newRow("ascii_unchanged") << "alice.b-42" << "alice.b-42";
    QTest::newRow("empty") << "" << "";
    // CP1251 C8 E2 E0 ED is no UTF-8: each byte becomes a replacement character.
    QTest::newRow("cyrillic_replaced") << "Иван" << QString(4, QChar(0xFFFD));
    // CP1251 D0 9F happens to be the UTF-8 of another letter.
    QTest::newRow("cyrillic_pair_reads_as_other_letter") << "Рџ" << "П";
    QTest::newRow("outside_cp1251_question_marks") << "日本" << "??";
    QTest::newRow("nul_ends_the_text") << QString::fromUtf8("ab\0cd", 5) << "ab";
    QString ascii;
    for (ushort c = 1; c < 0x80; ++c)
        ascii += QChar(c);
    QTest::newRow("every_ascii_character") << ascii << ascii;
    QTest::newRow("ascii_then_cyrillic") << QStringLiteral("ab\u0418") << QStringLiteral("ab\ufffd");
    QTest::newRow("nul_after_cyrillic") << QString::fromUtf8("\xd0\x98\0x", 4) << QStringLiteral("\ufffd");
}

void tst_SqlRules::displayForm()
{
    QFETCH(QString, name);
    QFETCH(QString, shown);
    QCOMPARE(Sql::cp1251DisplayForm(name), shown);
}

void tst_SqlRules::failureJudged_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<bool>("open");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("nativeCode");
    QTest::addColumn<QString>("sqlState");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("tookMs");
    QTest::addColumn<bool>("lost");
    QTest::addColumn<bool>("timedOut");
    const int S = QSqlError::StatementError, C = QSqlError::ConnectionError, T = QSqlError::TransactionError;
    // Row: driver, open, type, native code, SQLSTATE, text, took (of a 2,000 ms time-out), lost, timed out.
    QTest::newRow("closed_no_error") << "QPSQL" << false << int(QSqlError::NoError) << "" << "" << "" << 0 << true << false;
    QTest::newRow("closed_statement_error") << "QPSQL" << false << S << "" << "" << "" << 0 << true << false;
    QTest::newRow("open_failed_without_error") << "QODBC" << true << int(QSqlError::NoError) << "" << "" << "" << 0 << true << false;
    QTest::newRow("psql_syntax_error") << "QPSQL" << true << S << "42601" << "" << "" << 0 << false << false;
    QTest::newRow("psql_missing_table") << "QPSQL" << true << S << "42P01" << "" << "" << 0 << false << false;
    QTest::newRow("connection_error_type") << "QPSQL" << true << C << "" << "" << "" << 0 << true << false;
    QTest::newRow("psql_admin_shutdown") << "QPSQL" << true << S << "57P01" << "" << "" << 0 << true << false;
    QTest::newRow("psql_class_08") << "QPSQL" << true << S << "08006" << "" << "" << 0 << true << false;
    QTest::newRow("psql_statement_timeout") << "QPSQL" << true << S << "57014" << "" << "" << 2000 << false << true;
    QTest::newRow("psql_lock_timeout") << "QPSQL" << true << S << "55P03" << "" << "" << 2000 << false << true;
    QTest::newRow("sqlite_busy") << "QSQLITE" << true << C << "5" << "" << "" << 2000 << true << true;
    QTest::newRow("sqlite_other_error") << "QSQLITE" << true << S << "1" << "" << "" << 0 << false << false;
    QTest::newRow("sqlite_code_5_is_not_mysql") << "QMYSQL" << true << S << "5" << "" << "" << 0 << false << false;
    QTest::newRow("mysql_gone_away") << "QMYSQL" << true << S << "2006" << "" << "Server has gone away" << 0 << true << false;
    QTest::newRow("mysql_lost_at_once") << "QMYSQL" << true << S << "2013" << "" << "Lost connection" << 30 << true << false;
    QTest::newRow("mysql_read_timeout_fired") << "QMYSQL" << true << S << "2013" << "" << "Lost connection" << 2001 << true << true;
    QTest::newRow("mysql_lock_wait") << "QMYSQL" << true << S << "1205" << "" << "" << 2000 << false << true;
    QTest::newRow("odbc_class_08") << "QODBC" << true << S << "1" << "08S01" << "" << 0 << true << false;
    QTest::newRow("odbc_query_timeout") << "QODBC" << true << S << "1" << "HYT00" << "" << 2000 << false << true;
    QTest::newRow("odbc_psql_connection_lost_text") << "QODBC" << true << S << "35" << ""
        << "SQLExecute unable due to the connection lost" << 0 << true << false;
    QTest::newRow("odbc_oracle_code_is_not_mysql") << "QODBC" << true << S << "2003" << "HY000" << "" << 0 << false << false;
    QTest::newRow("odbc_syntax_error") << "QODBC" << true << S << "1" << "42601" << "syntax error" << 0 << false << false;
    QTest::newRow("ibase_network_error") << "QIBASE" << true << T << "-902" << "" << "Error writing data to the connection" << 0 << true << false;
    QTest::newRow("ibase_cursor_error") << "QIBASE" << true << S << "-502" << "" << "Attempt to reopen an open cursor" << 0 << false << false;
}

void tst_SqlRules::failureJudged()
{
    QFETCH(QString, driver);
    QFETCH(bool, open);
    QFETCH(int, type);
    QFETCH(QString, nativeCode);
    QFETCH(QString, sqlState);
    QFETCH(QString, text);
    QFETCH(int, tookMs);
    QFETCH(bool, lost);
    QFETCH(bool, timedOut);
    const bool mysqlServer = driver == QLatin1String("QMYSQL");
    const Sql::Failure failure{driver, open, QSqlError::ErrorType(type), nativeCode, sqlState, text, tookMs, 2000, mysqlServer};
    QCOMPARE(Sql::connectionLost(failure), lost);
    QCOMPARE(Sql::timedOut(failure), timedOut);
}

void tst_SqlRules::reopenAllowedOncePerInterval()
{
    QElapsedTimer last;
    QVERIFY(Sql::reopenAllowed(last)); // never tried
    last.start();
    QVERIFY(!Sql::reopenAllowed(last));
    QVERIFY(!Sql::reopenAllowed(last, 60000));
    QVERIFY(Sql::reopenAllowed(last, 0));
}

// What the options promise; that they bound the waits is proven against the
// real servers (tst_deadlines).
void tst_SqlRules::connectOptions_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<int>("seconds");
    QTest::addColumn<int>("readAttempts");
    QTest::addColumn<QString>("contains");
    QTest::newRow("psql_statement_timeout_in_ms") << "QPSQL" << 5 << 1 << "statement_timeout=5000";
    QTest::newRow("sqlite_busy_wait_in_ms") << "QSQLITE" << 2 << 1 << "QSQLITE_BUSY_TIMEOUT=2000";
    QTest::newRow("mysql_one_read") << "QMYSQL" << 5 << 1 << "MYSQL_OPT_READ_TIMEOUT=5;";
    // Oracle's client library reads three times before it gives up: 3 x 1 s, never over 5 s.
    QTest::newRow("mysql_three_reads") << "QMYSQL" << 5 << 3 << "MYSQL_OPT_READ_TIMEOUT=1;";
    QTest::newRow("odbc_login") << "QODBC" << 4 << 1 << "SQL_ATTR_LOGIN_TIMEOUT=4";
}

void tst_SqlRules::connectOptions()
{
    QFETCH(QString, driver);
    QFETCH(int, seconds);
    QFETCH(int, readAttempts);
    QFETCH(QString, contains);
    const QString options = Sql::connectOptions(driver, seconds, QString(), readAttempts);
    QVERIFY2(options.contains(contains), qPrintable(options));
    // The configured options come last, so they can override; 0 sets none of the agent's.
    QVERIFY(Sql::connectOptions(driver, seconds, "X=1", readAttempts).endsWith(QLatin1String(";X=1")));
    QCOMPARE(Sql::connectOptions(driver, 0, "X=1", readAttempts), QString("X=1"));
    QCOMPARE(Sql::connectOptions("QOCI", seconds, QString(), readAttempts), QString());
}

void tst_SqlRules::maskCredentials_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("database_name_unchanged") << "agentdb" << "agentdb";
    QTest::newRow("odbc_pwd") << "DRIVER={PostgreSQL Unicode};SERVER=h;UID=agent;PWD=s3cret;PORT=5"
                              << "DRIVER={PostgreSQL Unicode};SERVER=h;UID=agent;PWD=********;PORT=5";
    QTest::newRow("password_any_case_spaces") << "uid=a; Password = x y;z=1" << "uid=a; Password = ********;z=1";
    QTest::newRow("braced_value_with_semicolon") << "PWD={a;b}}c};UID=u" << "PWD=********;UID=u";
    QTest::newRow("first_and_last") << "pwd=1;passwd=2" << "pwd=********;passwd=********";
    QTest::newRow("other_keys_containing_pwd_unchanged") << "OLDPWD=1;mypassword=2" << "OLDPWD=1;mypassword=2";
}

void tst_SqlRules::maskCredentials()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(Sql::maskCredentials(text), shown);
}

// Unavailable once: fail fast, one probe per interval, answered ends it; a
// statement's own error does not start it.
void tst_SqlRules::failFastGateOpensOncePerInterval()
{
    using A = FailFastGate::Admission;
    using C = FailFastGate::Change;
    FailFastGate gate(60000);
    QCOMPARE(gate.admit(), A::Run);
    using O = FailFastGate::Outcome;
    QCOMPARE(gate.report(O::StatementError, "syntax error"), C::None);
    QCOMPARE(gate.admit(), A::Run);
    QCOMPARE(gate.report(O::Unavailable, "timed out"), C::Started);
    QCOMPARE(gate.reason(), QString("timed out"));
    QCOMPARE(gate.admit(), A::FailFast);
    QVERIFY(gate.msUntilRetry() > 50000);
    QCOMPARE(gate.refusal("gone").error, QString("database unavailable: timed out"));
    QVERIFY(gate.refusal("gone").unavailable);

    gate.setRetryInterval(0); // as if the interval had passed
    QCOMPARE(gate.admit(), A::Probe);
    // The probe takes longer than the interval (a statement time-out, say).
    gate.setRetryInterval(20);
    QTest::qSleep(40);
    QCOMPARE(gate.report(O::Unavailable, "still down"), C::None); // a failed probe keeps the window
    QCOMPARE(gate.admit(), A::FailFast);                 // and the interval counts from its end
    gate.setRetryInterval(0);
    QCOMPARE(gate.admit(), A::Probe);
    // An error of the statement opens the gate, but the database is said to
    // answer again only once a statement has succeeded.
    QCOMPARE(gate.report(O::StatementError, "no such table"), C::None);
    QCOMPARE(gate.admit(), A::Run);
    QCOMPARE(gate.report(O::Ok), C::Ended);
    QCOMPARE(gate.report(O::Ok), C::None);
    QCOMPARE(gate.admit(), A::Run);
    QCOMPARE(gate.msUntilRetry(), 0);
}

void tst_SqlRules::missingCheckPlaceholders_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QStringList>("missing");
    QTest::newRow("both") << "select id from u where l=:s1 and p=:s2" << QStringList();
    QTest::newRow("none") << "select id from u" << QStringList{":s1", ":s2"};
    QTest::newRow("other_names") << "select id from u where l=:user and p=:pass" << QStringList{":s1", ":s2"};
    QTest::newRow("s10_is_not_s1") << "select id from u where l=:s10 and p=:s2" << QStringList{":s1"};
    QTest::newRow("at_the_end") << "select id from u where p=:s2 and l=:s1" << QStringList();
    QTest::newRow("lookup_default") << Settings::DefaultSqlQuery << QStringList{":s1", ":s2"};
}

void tst_SqlRules::missingCheckPlaceholders()
{
    QFETCH(QString, query);
    QFETCH(QStringList, missing);
    QCOMPARE(Sql::missingCheckPlaceholders(query), missing);
}

void tst_SqlRules::serverList_data()
{
    QTest::addColumn<bool>("odbc");         // sql/dsn for ODBC, else sql/host
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("names"); // the entries as logs name them; empty: refused
    QTest::addColumn<QString>("why");
    QStringList sixteen;
    for (int i = 0; i < 16; ++i)
        sixteen << QString("h%1:5432").arg(i);
    const QString pg = "DRIVER={PostgreSQL Unicode};SERVER=";
#define ROW(tag, text, names, why) QTest::newRow(tag) << false << QString(text) << QStringList names << QString(why)
#define DSN(tag, text, names, why) QTest::newRow(tag) << true << QString(text) << QStringList names << QString(why)
    ROW("one_host_default_port",   "db1",                          ({"db1:5432"}), "");
    ROW("bare_ipv6_as_ever",       "::1",                          ({"[::1]:5432"}), "");
    ROW("list_ports_and_v6",       "a, b:5433,[2001:db8::1]:6432,[fe80::2]", ({"a:5432", "b:5433", "[2001:db8::1]:6432", "[fe80::2]:5432"}), "");
    ROW("sixteen_entries",         sixteen.join(','),              (sixteen), "");
    ROW("empty_entry",             "a,,b",                         (), "entry 2 is empty");
    ROW("empty_text",              "",                             (), "entry 1 is empty");
    ROW("port_zero",               "a:0",                          (), "a:0 has no host, or a port not in 1..65535");
    ROW("port_too_big",            "a,b:65536",                    (), "b:65536 has no host, or a port not in 1..65535");
    ROW("port_not_number",         "a:pg",                         (), "a:pg has no host, or a port not in 1..65535");
    ROW("no_host",                 ":5432",                        (), ":5432 has no host, or a port not in 1..65535");
    ROW("bad_v6_in_brackets",      "[2001:db8::g]:5432",           (), "[2001:db8::g]:5432 is not an IPv6 address in brackets");
    ROW("unclosed_bracket",        "[::1:5432",                    (), "[::1:5432 is not an IPv6 address in brackets");
    ROW("junk_after_bracket",      "[::1]5432",                    (), "[::1]5432 is not an IPv6 address in brackets");
    ROW("bad_bare_v6",             "a,1:2:3",                      (), "1:2:3 is not an IPv6 address (with a port, write [address]:port)");
    ROW("seventeen_entries",       QString("h,").repeated(16) + "h", (), "lists 17 servers, more than 16");
    ROW("hundred_entries",         QString("h,").repeated(99) + "h", (), "lists 100 servers, more than 16");
    ROW("same_twice_default_port", "a,b,a:5432",                   (), "names a:5432 twice");
    DSN("dsn_names",               "main | standby",               ({"main", "standby"}), "");
    DSN("dsn_strings_braced_bar",  pg + "10.0.0.1;PORT=5433;PWD={a|b}}|}|Driver=x; Host = {db2;x}", ({"10.0.0.1:5433", "db2;x"}), "");
    DSN("dsn_named_by_dsn_or_all", "DSN=main;UID=u|DRIVER=y;DATABASE=/d;PWD=p", ({"main", "DRIVER=y;DATABASE=/d;PWD=********"}), "");
    DSN("bar_in_unbraced_password", pg + "db1;PWD=a|b",           ({"db1"}), "");
    DSN("bar_then_no_string",      "DSN=main;PWD=x|y;UID=u",       ({"main"}), "");
    DSN("bar_ends_password",       pg + "db1;PWD=secret|",         ({"db1"}), "");
    DSN("empty_as_ever",           "",                             ({""}), "");
    DSN("first_key_bare_keys",     "DRIVER=x;Trusted;SERVER=a;SERVER=b|DSN=c", ({"a", "c"}), "");
    DSN("dsn_empty_entry",         "a||b",                         (), "entry 2 is empty");
    DSN("dsn_same_server_twice",   pg + "h;PORT=1|" + pg + "h;PORT=1;DATABASE=x", (), "names h:1 twice");
    DSN("dsn_seventeen",           QString("d|").repeated(16) + "d", (), "lists 17 servers, more than 16");
#undef DSN
#undef ROW
}

void tst_SqlRules::serverList()
{
    QFETCH(bool, odbc);
    QFETCH(QString, text);
    QFETCH(QStringList, names);
    QFETCH(QString, why);
    QString said;
    const auto servers = odbc ? Sql::parseDsnList(text, &said) : Sql::parseServerList(text, 5432, &said);
    QStringList parsed;
    for (const Sql::ServerEntry &server : servers.value_or(QVector<Sql::ServerEntry>()))
        parsed << server.name();
    QCOMPARE(parsed, names);
    QCOMPARE(said, why);
    QCOMPARE(bool(servers), why.isEmpty());
}

void tst_SqlRules::tryOrder_data()
{
    QTest::addColumn<QVector<qint64>>("failedAt"); // per entry; -1: never
    QTest::addColumn<QVector<int>>("order");       // at 100,000 ms, retry 30,000 ms
#define ROW(tag, failedAt, order) QTest::newRow(tag) << QVector<qint64> failedAt << QVector<int> order
    ROW("none_failed_list_order",   ({-1, -1, -1}),          ({0, 1, 2}));
    ROW("first_failed_recently",    ({90000, -1, -1}),       ({1, 2, 0}));
    ROW("retry_interval_edges",     ({70001, 70000, 60000}), ({1, 2, 0}));
    ROW("all_failed_all_in_order",  ({99000, 95000, 80000}), ({0, 1, 2}));
#undef ROW
}

void tst_SqlRules::tryOrder()
{
    QFETCH(QVector<qint64>, failedAt);
    QFETCH(QVector<int>, order);
    QCOMPARE(Sql::tryOrder(failedAt, 100000, 30000), order);
}

QTEST_APPLESS_MAIN(tst_SqlRules)
#include "tst_sqlrules.moc"
