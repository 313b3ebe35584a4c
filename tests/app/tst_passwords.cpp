#include "support/agent.h"
#include "support/sqlfixture.h"
#include "support/sqlserver.h"
#include "support/wireclient.h"

#include "passwords/passwords.h"

#include <QtEndian>
#include <QtTest>

// Stored passwords made by the real tools (tests/passwords/vectors.txt, each
// with the command that made it), verified through a real check with
// sql/password_column: on SQLite, and on MariaDB.
namespace {
const QString ByLogin = QStringLiteral("select uid, pw from users where login = :s1");
const QStringList Weak {"md5crypt", "descrypt", "ldap_sha1", "ldap_md5", "apr1", "mysql41", "postgres_md5",
                        "spring_sha256", "spring_noop"};

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
    // Two rows for one name, the second's value not this password's (nor any: cut short).
    rows << QStringLiteral("insert into users values('two_rows', '%1', 'id-two_rows')").arg(values.value("phpass_p"))
         << QStringLiteral("insert into users values('two_rows', '%1', 'id-two_rows')").arg(values.value("bcrypt").chopped(4));
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
    void refusedWithAReason_data();
    void refusedWithAReason();
    void rehash_data();
    void rehash();
    void hashBcryptRoundtrip();
    void rehashOnLogin_data();
    void rehashOnLogin();
    void readmeListsEveryFormat();
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
    QTest::newRow("password_column_misnamed") << sqlite << native << "bcrypt" << "Zq9secret" << false << none;
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
    const bool misnamed = QTest::currentDataTag() == QLatin1String("password_column_misnamed");
    IniValues more {{QStringLiteral("sql/password_column"), misnamed ? QStringLiteral("password") : QStringLiteral("pw")},
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
    QElapsedTimer took;
    took.start();
    QCOMPARE(exchange(agent.httpPort(), checkRequest(login.toUtf8(), password.toUtf8())), answer);

    // Past the limits is refused before any work, not merely a mismatch, and said with the ceiling.
    static const QMap<QString, QString> ceilings {{"over-bcrypt-cost", "bcrypt cost"}, {"over-sha512crypt-rounds", "rounds"},
        {"over-pbkdf2-rounds", "iterations"}, {"over-scrypt-work", "scrypt memory"}, {"over-yescrypt-memory", "scrypt memory"}};
    if (login.startsWith("over-")) {
        QVERIFY(took.elapsed() < 1000);
        const QString said = "[e] a stored password is malformed or past the limits (" + ceilings.value(login, "Argon2 memory");
        QVERIFY2(capture.all().join('\n').contains(said), qPrintable(capture.all().join('\n')));
        // The same row checked again is not said again: a client cannot fill the log through it.
        QCOMPARE(exchange(agent.httpPort(), checkRequest(login.toUtf8(), password.toUtf8())), answer);
        QCOMPARE(capture.all().filter(said).size(), 1);
    }
    // The stored value is shown nowhere, nor the password in it: its 20
    // characters before the 4 a cut value lacks (not the prefix a log may show).
    const QString whole = stored().value(login.startsWith("cut-") ? login.mid(4) : login);
    const QString value = whole.left(whole.size() - 4).right(20);
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

// ASP.NET Identity v3's vector with one big-endian field (1: PRF, 5: count) set to value.
QByteArray identityWith(int at, quint32 value)
{
    QByteArray raw = QByteArray::fromBase64(stored().value("aspnet_identity_v3").toLatin1());
    qToBigEndian(value, raw.data() + at);
    return raw.toBase64();
}

// Values refused at once with the reason a log says: past a ceiling (whose
// work would take far longer than the second allowed), counts of zero or
// below, wrong lengths and alphabets, one format wrapped in another's prefix.
void tst_Passwords::refusedWithAReason_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("userName");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("reason");
    const QMap<QString, QString> v = stored();
    const auto edit = [&v](const char *key, const char *from, const char *to) {
        return QString(v.value(key)).replace(from, to).toUtf8();
    };
    const QByteArray pg = v.value("postgres_md5").toUtf8();
#define ROW(tag, value, result, reason) \
    QTest::newRow(tag) << QByteArray(value) << QByteArray("postgres_md5") << int(Passwords::Result::result) << QString(reason)
    ROW("phpass_past_ceiling",         edit("phpass_p", "$P$B", "$P$S"),                      Malformed, "rounds past the ceiling");
    ROW("phpass_outside_range",        edit("phpass_h", "$H$B", "$H$T"),                      Malformed, "rounds outside the format's range");
    ROW("drupal7_past_ceiling",        edit("drupal7_md5", "U$S$D", "U$S$S"),                 Malformed, "rounds past the ceiling");
    ROW("django_sha1_past_ceiling",    edit("django_pbkdf2_sha1", "$260000$", "$20000000$"),  Malformed, "iterations past the ceiling");
    ROW("werkzeug_past_ceiling",       edit("werkzeug_pbkdf2_sha256", ":260000$", ":20000000$"), Malformed, "iterations past the ceiling");
    ROW("werkzeug_zero_iterations",    edit("werkzeug_pbkdf2_sha1", ":1000$", ":0$"),         Malformed, "a count below one");
    ROW("werkzeug_negative",           edit("werkzeug_pbkdf2_sha1", ":1000$", ":-1000$"),     Malformed, "not a number where a count belongs");
    ROW("werkzeug_unknown_digest",     edit("werkzeug_pbkdf2_sha1", ":sha1:", ":md5:"),       Malformed, "a digest this agent does not verify");
    ROW("werkzeug_not_hex",            edit("werkzeug_pbkdf2_sha1", "$a1ad", "$g1ad"),        Malformed, "not hex where hex belongs");
    ROW("werkzeug_scrypt_past_memory", edit("werkzeug_scrypt", ":32768:", ":2097152:"),       Malformed, "scrypt memory or work past the ceiling");
    ROW("werkzeug_scrypt_n_not_power", edit("werkzeug_scrypt", ":32768:", ":30000:"),         Malformed, "scrypt N not a power of two");
    ROW("django_scrypt_past_memory",   edit("django_scrypt", "$16384$", "$4194304$"),         Malformed, "scrypt memory or work past the ceiling");
    ROW("spring_scrypt_past_memory",   edit("spring_scrypt", "$e0801$", "$160801$"),          Malformed, "scrypt memory or work past the ceiling");
    ROW("spring_scrypt_zero_r",        edit("spring_scrypt", "$e0801$", "$e0001$"),           Malformed, "a count below one");
    ROW("aspnet_v3_past_ceiling",      identityWith(5, 20'000'000),                           Malformed, "iterations past the ceiling");
    ROW("aspnet_v3_zero_iterations",   identityWith(5, 0),                                    Malformed, "a count below one");
    ROW("aspnet_v3_unknown_prf",       identityWith(1, 3),                                    Malformed, "a digest this agent does not verify");
    ROW("spring_pbkdf2_cut_short",     v.value("spring_pbkdf2_v5_5").chopped(2).toUtf8(),     Malformed, "salt or digest of the wrong length");
    ROW("spring_sha256_not_hex",       edit("spring_sha256", "{sha256}3a", "{sha256}zz"),     Malformed, "not hex where hex belongs");
    ROW("pkcs5s2_not_base64",          edit("atlassian_pkcs5s2", "}9l5r", "}9l5r!"),          Malformed, "not base64 where base64 belongs");
    ROW("bcrypt_sha256_past_cost",     edit("django_bcrypt_sha256", "$2b$05$", "$2b$17$"),    Malformed, "bcrypt cost past the ceiling");
    ROW("django_argon2_past_memory",   edit("django_argon2id", "m=4096", "m=2097152"),        Malformed, "Argon2 memory, passes or lanes past the ceiling");
    ROW("apr1_salt_too_long",          edit("apr1", "$apr1$BY7pQzPn$", "$apr1$BY7pQzPnXX$"),  Malformed, "salt or digest of the wrong length");
    ROW("two_formats_bcrypt_noop",     "{bcrypt}{noop}Zq9secret",                             Malformed, "not the value the format wraps");
    ROW("two_formats_argon2_bcrypt",   "argon2$" + v.value("bcrypt").toUtf8(),                Malformed, "not the value the format wraps");
    ROW("mysql41_not_hex",             edit("mysql41", "*1D1", "*XD1"),                       Unknown,   "of no known format");
    ROW("spring_noop_in_capitals",     "{NOOP}Zq9secret",                                     Unknown,   "of no known format");
    ROW("postgres_md5_own_name",       pg,                                                    Match,     "");
#undef ROW
    QTest::newRow("postgres_md5_other_name") << pg << QByteArray("alice") << int(Passwords::Result::Mismatch) << QString();
    QTest::newRow("postgres_md5_no_name") << pg << QByteArray() << int(Passwords::Result::Malformed) << "needs the user name";
}

void tst_Passwords::refusedWithAReason()
{
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, userName);
    QFETCH(int, result);
    QFETCH(QString, reason);
    QElapsedTimer took;
    took.start();
    const Passwords::Checked checked = Passwords::check("Zq9secret", value, true, userName);
    QCOMPARE(Passwords::name(checked.result), Passwords::name(Passwords::Result(result)));
    QCOMPARE(checked.reason, reason);
    QVERIFY2(took.elapsed() < 1000, "refused only after the work");
}

// needsRehash(value, minimum): weak, or of a weaker kind than minimum's
// (clear < digest < iterated < bcrypt < memory-hard).
void tst_Passwords::rehash_data()
{
    QTest::addColumn<QString>("vector");
    QTest::addColumn<QString>("minimum");
    QTest::addColumn<bool>("below");
#define ROW(tag, vector, minimum, below) QTest::newRow(tag) << QStringLiteral(vector) << QStringLiteral(minimum) << below
    ROW("phpass_below_bcrypt",        "phpass_p",             "bcrypt",     true);
    ROW("django_pbkdf2_below_bcrypt", "django_pbkdf2_sha256", "bcrypt",     true);
    ROW("aspnet_v3_below_bcrypt",     "aspnet_identity_v3",   "bcrypt",     true);
    ROW("django_bcrypt_is_bcrypt",    "django_bcrypt",        "bcrypt",     false);
    ROW("argon2id_above_bcrypt",      "django_argon2id",      "bcrypt",     false);
    ROW("bcrypt_below_argon2id",      "php_bcrypt",           "argon2id",   true);
    ROW("weak_below_itself",          "md5crypt",             "md5crypt",   true);
    ROW("clear_below_ssha",           "clear",                "ssha",       true);
    ROW("ssha_not_below_clear",       "ldap_salted_sha1",     "plain",      false);
    ROW("minimum_of_no_format",       "phpass_p",             "bcrypt2",    false);
    ROW("value_of_no_format",         "unknown-clear",        "bcrypt",     false);
#undef ROW
}

void tst_Passwords::rehash()
{
    QFETCH(QString, vector);
    QFETCH(QString, minimum);
    QFETCH(bool, below);
    QCOMPARE(Passwords::needsRehash(stored().value(vector).toUtf8(), minimum), below);
}

// (roundtrip) A fresh value is bcrypt that Python's bcrypt verifies, with a
// salt of its own each time; a cost out of range or a NUL makes none.
void tst_Passwords::hashBcryptRoundtrip()
{
    const QByteArray made = Passwords::hashBcrypt("Zq9secret", Passwords::MinBcryptCost);
    QVERIFY2(made.startsWith("$2b$04$") && !Passwords::needsRehash(made), made.constData());
    QCOMPARE(Passwords::verify("Xq9secret", made, false), Passwords::Result::Mismatch);
    QCOMPARE(QProcess::execute("/usr/bin/python3", {"-c", "import bcrypt, sys; sys.exit(not bcrypt.checkpw("
                                                          "b'Zq9secret', sys.argv[1].encode()))", made}), 0);
    QVERIFY(Passwords::hashBcrypt("Zq9secret", Passwords::MinBcryptCost) != made);
    QVERIFY(Passwords::hashBcrypt("Zq9secret", Passwords::MaxBcryptCost + 1).isEmpty());
    QVERIFY(Passwords::hashBcrypt(QByteArray("Zq9\0secret", 10), Passwords::MinBcryptCost).isEmpty());
}

// With sql/rehash_query, a found user's value below sql/rehash_min becomes a
// bcrypt value that verifies the same password; a failing statement is a
// warning, never the answer; a statement or setting that cannot work is
// refused at start and never runs. result: counted on /metrics, empty: none.
void tst_Passwords::rehashOnLogin_data()
{
    for (const char *column : {"login", "statement", "minimum", "cost", "result", "said"})
        QTest::addColumn<QString>(column);
    const char *update = "update users set pw = :s2 where login = :s1";
#define ROW(tag, login, statement, minimum, cost, result, said) \
    QTest::newRow(tag) << QString(login) << QString(statement) << QString(minimum) << QString(cost) << QString(result) << QString(said)
    ROW("phpass_to_bcrypt",     "phpass_p", update,  "bcrypt",        "4",  "done",   "");
    ROW("weak_always",          "md5crypt", update,  "md5crypt",      "5",  "done",   "");
    ROW("statement_fails",      "phpass_p", "update nowhere set pw = :s2 where login = :s1", "bcrypt", "4", "failed",
        "[e] the stored password of phpass_p is not rehashed: no such table: nowhere");
    ROW("phpass_not_below_min", "phpass_p", update,  "pbkdf2_sha256", "4",  "",       "");
    ROW("bcrypt_kept",          "bcrypt",   update,  "bcrypt",        "4",  "",       "");
    // DES crypt matched on 8 of the 9 characters: the typed password may not be the user's.
    ROW("descrypt_of_9_kept",   "descrypt", update,  "bcrypt",        "4",  "skipped", "");
    ROW("other_rows_kept",      "two_rows", update,  "bcrypt",        "4",  "skipped", "");
    ROW("statement_without_s2", "phpass_p", "update users set pw = 'x' where login = :s1", "bcrypt", "4", "",
        "[e] config: sql/rehash_query has no :s2; no stored password is rehashed");
    ROW("min_of_no_format",     "phpass_p", update,  "bcrypt2",       "4",  "",       "sql/rehash_min bcrypt2 names no");
    ROW("min_above_bcrypt",     "phpass_p", update,  "argon2id",      "4",  "",       "sql/rehash_min argon2id ranks above");
    ROW("cost_past_ceiling",    "phpass_p", update,  "bcrypt",        "17", "",       "sql/rehash_cost 17 is outside");
#undef ROW
}

void tst_Passwords::rehashOnLogin()
{
    QFETCH(QString, login);
    QFETCH(QString, statement);
    QFETCH(QString, minimum);
    QFETCH(QString, cost);
    QFETCH(QString, result);
    QFETCH(QString, said);
    MessageCapture capture;
    Agent agent;
    QCOMPARE(startOnSqlite(agent, table(), ByLogin, QStringLiteral("uid"),
                           {{"sql/password_column", "pw"}, {"sql/weak_hashes", "true"}, {"sql/hash_threads", "1"},
                            {"sql/rehash_query", statement}, {"sql/rehash_min", minimum}, {"sql/rehash_cost", cost},
                            {"admin/port", QString::number(freePort())}}),
             QString());
    const auto storedNow = [&] {
        SqlSession look("QSQLITE", [&](QSqlDatabase &db) { db.setDatabaseName(agent.work.filePath("agent.db")); });
        return look.run({"select pw from users where login = '" + login + "'"}).value(0);
    };
    const QString before = storedNow();
    const auto check = [&](const char *password) { return exchange(agent.httpPort(), checkRequest(login.toUtf8(), password)); };
    QCOMPARE(check("Zq9secret"), found("id-" + login.toUtf8()));
    if (!result.isEmpty())
        QTRY_VERIFY(exchange(agent.port("admin/port"), "GET /metrics HTTP/1.0\r\n\r\n")
                        .contains("tovr_merk_rehashes_total{result=\"" + result.toUtf8() + "\"} 1\n"));
    // One verifying thread takes its jobs in turn: once this check is
    // answered, a rehash the first one started has been written.
    QCOMPARE(check("Xq9secret"), notFound());
    const QString after = storedNow();
    QVERIFY2(result == "done" ? after.startsWith("$2b$" + cost.rightJustified(2, '0') + "$") : after == before, qPrintable(after));
    QCOMPARE(check("Zq9secret"), found("id-" + login.toUtf8()));
    const QString shown = capture.all().join('\n');
    QVERIFY2(shown.contains(said) && !shown.contains("Zq9secret") && !shown.contains(after.right(20)), qPrintable(shown));
}

// The README's table gives every format, who writes it and whether it is weak.
void tst_Passwords::readmeListsEveryFormat()
{
    const QString readme = QString::fromUtf8(sourceFile(QStringLiteral("README.md")));
    for (const Passwords::Format format : Passwords::formats()) {
        const QString row = QStringLiteral("| `%1` | %2 | %3 |")
                                .arg(Passwords::name(format), Passwords::writtenBy(format),
                                     Passwords::isWeak(format) ? "yes" : "no");
        QVERIFY2(readme.contains(row), qPrintable(row));
    }
}

QTEST_MAIN(tst_Passwords)
#include "tst_passwords.moc"
