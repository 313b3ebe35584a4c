#include "app/settings.h"
#include "db/failfast.h"
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
    void connectionLost_data();
    void connectionLost();
    void reopenAllowedOncePerInterval();
    void connectOptions_data();
    void connectOptions();
    void timedOut_data();
    void timedOut();
    void failFastGateOpensOncePerInterval();
    void missingCheckPlaceholders_data();
    void missingCheckPlaceholders();
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

void tst_SqlRules::connectionLost_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("nativeCode");
    QTest::addColumn<bool>("lost");
    QTest::newRow("closed_no_error") << false << int(QSqlError::NoError) << "" << true;
    QTest::newRow("closed_statement_error") << false << int(QSqlError::StatementError) << "" << true;
    QTest::newRow("syntax_error_open") << true << int(QSqlError::StatementError) << "42601" << false;
    QTest::newRow("missing_table_open") << true << int(QSqlError::StatementError) << "42P01" << false;
    QTest::newRow("sqlite_code_open") << true << int(QSqlError::StatementError) << "1" << false;
    QTest::newRow("connection_error_type") << true << int(QSqlError::ConnectionError) << "" << true;
    QTest::newRow("admin_shutdown_open") << true << int(QSqlError::StatementError) << "57P01" << true;
    QTest::newRow("connection_failure_class_08") << true << int(QSqlError::StatementError) << "08006" << true;
    QTest::newRow("query_canceled_57014") << true << int(QSqlError::StatementError) << "57014" << false;
}

void tst_SqlRules::connectionLost()
{
    QFETCH(bool, open);
    QFETCH(int, type);
    QFETCH(QString, nativeCode);
    QFETCH(bool, lost);
    const QSqlError error(QStringLiteral("driver"), QStringLiteral("database"),
                          QSqlError::ErrorType(type), nativeCode);
    QCOMPARE(Sql::connectionLost(open, error), lost);
}

void tst_SqlRules::reopenAllowedOncePerInterval()
{
    QElapsedTimer last;
    QVERIFY(Sql::reopenAllowed(last)); // never tried
    last.start();
    QVERIFY(!Sql::reopenAllowed(last));
    QVERIFY(!Sql::reopenAllowed(last, 60000));
    QVERIFY(Sql::reopenAllowed(last, 0));
    QCOMPARE(Sql::ReopenIntervalMs, 5000);
}

void tst_SqlRules::connectOptions_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("configured");
    QTest::addColumn<QString>("options");
    QTest::newRow("psql_every_wait") << "QPSQL" << 5 << ""
                                     << "connect_timeout=5;options='-c statement_timeout=5000';keepalives=1;"
                                        "keepalives_idle=5;keepalives_interval=1;keepalives_count=3;"
                                        "tcp_user_timeout=5000";
    QTest::newRow("sqlite_busy_wait") << "QSQLITE" << 2 << "" << "QSQLITE_BUSY_TIMEOUT=2000";
    QTest::newRow("configured_come_last") << "QSQLITE" << 1 << "QSQLITE_OPEN_READONLY"
                                          << "QSQLITE_BUSY_TIMEOUT=1000;QSQLITE_OPEN_READONLY";
    QTest::newRow("mysql") << "QMYSQL" << 3 << ""
                           << "MYSQL_OPT_CONNECT_TIMEOUT=3;MYSQL_OPT_READ_TIMEOUT=3;MYSQL_OPT_WRITE_TIMEOUT=3";
    QTest::newRow("odbc") << "QODBC" << 4 << "" << "SQL_ATTR_LOGIN_TIMEOUT=4;SQL_ATTR_CONNECTION_TIMEOUT=4";
    QTest::newRow("oci_offers_none") << "QOCI" << 5 << "" << "";
    QTest::newRow("zero_sets_none") << "QPSQL" << 0 << "sslmode=require" << "sslmode=require";
}

void tst_SqlRules::connectOptions()
{
    QFETCH(QString, driver);
    QFETCH(int, seconds);
    QFETCH(QString, configured);
    QFETCH(QString, options);
    QCOMPARE(Sql::connectOptions(driver, seconds, configured), options);
}

void tst_SqlRules::timedOut_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("nativeCode");
    QTest::addColumn<bool>("timedOut");
    QTest::newRow("psql_statement_timeout") << int(QSqlError::StatementError) << "57014" << true;
    QTest::newRow("psql_lock_timeout") << int(QSqlError::StatementError) << "55P03" << true;
    QTest::newRow("sqlite_busy") << int(QSqlError::ConnectionError) << "5" << true;
    QTest::newRow("mysql_lock_wait") << int(QSqlError::StatementError) << "1205" << true;
    QTest::newRow("psql_syntax_error") << int(QSqlError::StatementError) << "42601" << false;
    QTest::newRow("sqlite_other_error") << int(QSqlError::StatementError) << "1" << false;
    QTest::newRow("no_error") << int(QSqlError::NoError) << "5" << false;
}

void tst_SqlRules::timedOut()
{
    QFETCH(int, type);
    QFETCH(QString, nativeCode);
    QFETCH(bool, timedOut);
    QCOMPARE(Sql::timedOut(QSqlError("driver", "database", QSqlError::ErrorType(type), nativeCode)), timedOut);
}

// Unavailable once: fail fast, one probe per interval, answered ends it; a
// statement's own error does not start it.
void tst_SqlRules::failFastGateOpensOncePerInterval()
{
    using A = FailFastGate::Admission;
    using C = FailFastGate::Change;
    FailFastGate gate(60000);
    QCOMPARE(gate.admit(), A::Run);
    QCOMPARE(gate.report(false, "syntax error"), C::None);
    QCOMPARE(gate.admit(), A::Run);
    QCOMPARE(gate.report(true, "timed out"), C::Started);
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
    QCOMPARE(gate.report(true, "still down"), C::None); // a failed probe keeps the window
    QCOMPARE(gate.admit(), A::FailFast);                 // and the interval counts from its end
    gate.setRetryInterval(0);
    QCOMPARE(gate.admit(), A::Probe);
    QCOMPARE(gate.report(false), C::Ended);
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

QTEST_APPLESS_MAIN(tst_SqlRules)
#include "tst_sqlrules.moc"
