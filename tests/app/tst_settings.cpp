#include "app/settings.h"
#include "support/agent.h"
#include "support/sqlfixture.h"

#include <QSettings>
#include <QtTest>

#include <memory>

// The settings are read by a real Server; each case rewrites the INI and reads again.
class tst_Settings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void defaultsWithoutIniFile();
    void integerKeys_data();
    void integerKeys();
    void stringKeys_data();
    void stringKeys();
    void cipherKeyFromBase64();
    void cipherKeyRandomWhenEmpty_data();
    void cipherKeyRandomWhenEmpty();
    void generatedKeysDiffer();

    void closeWritesUserStoreNotIni();
    void closeSavesGeneratedKeyInUse();
    void configurationProblemsSaidAtStart_data();
    void configurationProblemsSaidAtStart();

private:
    QByteArray writeAndRead(const QByteArray &ini);
    ServerInspector inspect() const { return agent->inspect(); }
    std::unique_ptr<Agent> agent;
};

void tst_Settings::init()
{
    QSettings().clear();
    agent = std::make_unique<Agent>();
    agent->start(quietAgentSettings());
}

void tst_Settings::cleanup()
{
    agent.reset();
}

QByteArray tst_Settings::writeAndRead(const QByteArray &ini)
{
    agent->work.writeIni(ini);
    inspect().readSettings();
    return ini;
}

void tst_Settings::defaultsWithoutIniFile()
{
    QFile::remove(agent->work.filePath("tovr_merk.ini"));
    ServerInspector s = inspect();
    s.readSettings();
    QCOMPARE(s.config().sqlType, QString("QOCI"));
    QCOMPARE(s.config().sqlHost, QString("localhost"));
    QCOMPARE(s.config().sqlPort, 1521);
    QCOMPARE(s.config().sqlDsn, QString("q3"));
    QCOMPARE(s.config().sqlUser, QString("q3main"));
    QCOMPARE(s.config().sqlPassword, QString("rook"));
    QCOMPARE(s.config().sqlQuery.size(), 295);
    QVERIFY(s.config().sqlQuery.startsWith("select yres_id,yrms_shortdesc, yres_actarrtime"));
    QVERIFY(s.config().sqlQuery.contains("where yres_id=%1 and yres_actarrtime IS NOT NULL"));
    QCOMPARE(s.config().sqlRetParam, QString("yres_id"));
    QCOMPARE(s.config().serverPort, 18210);
    QCOMPARE(s.config().httpPort, 8880);
    QCOMPARE(s.config().testQuery1, QString("SELECT * FROM table1"));
    QCOMPARE(s.config().appKey1, QString("amberfieldsamplecode"));
    QCOMPARE(s.config().configHost, QString("localhost"));
    QCOMPARE(s.config().cipherKey.size(), 32);
}

void tst_Settings::integerKeys_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("sqlPort");
    QTest::addColumn<int>("serverPort");
    QTest::addColumn<int>("httpPort");

    QTest::newRow("numbers") << QByteArray("[sql]\nport=5432\n[server]\nport=1\n[http]\nport=2\n")
                             << 5432 << 1 << 2;
    QTest::newRow("sql_port_abc_reads_0") << QByteArray("[sql]\nport=abc\n") << 0 << 18210 << 8880;
    QTest::newRow("negative_kept") << QByteArray("[sql]\nport=-7\n") << -7 << 18210 << 8880;
    QTest::newRow("out_of_16_bits_kept") << QByteArray("[http]\nport=70000\n") << 1521 << 18210
                                         << 70000;
}

void tst_Settings::integerKeys()
{
    QFETCH(QByteArray, ini);
    writeAndRead(ini);
    ServerInspector s = inspect();
    QTEST(s.config().sqlPort, "sqlPort");
    QTEST(s.config().serverPort, "serverPort");
    QTEST(s.config().httpPort, "httpPort");
}

void tst_Settings::stringKeys_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("configHost");

    QTest::newRow("quoted_commas_kept")
        << QByteArray("[sql]\nquery=\"select a, b, c from t where u=:s1\"\n")
        << "select a, b, c from t where u=:s1" << "localhost";
    // Unquoted, the framework reads a list, whose string form is empty.
    QTest::newRow("unquoted_commas_read_as_list")
        << QByteArray("[sql]\nquery=select a, b from t\n") << "" << "localhost";
    QTest::newRow("config_host_with_port")
        << QByteArray("[app]\nconfig_host=prov.example:8088\n") << Settings::DefaultSqlQuery
        << "prov.example:8088";
}

void tst_Settings::stringKeys()
{
    QFETCH(QByteArray, ini);
    writeAndRead(ini);
    ServerInspector s = inspect();
    QTEST(s.config().sqlQuery, "query");
    QTEST(s.config().configHost, "configHost");
}

void tst_Settings::cipherKeyFromBase64()
{
    QByteArray key;
    for (int i = 0; i < 32; ++i)
        key += char(0xA0 + i);
    writeAndRead("[app]\nkey2=" + key.toBase64() + "\n");
    QCOMPARE(inspect().config().cipherKey.toHex(), key.toHex());
    writeAndRead("[app]\nkey2=" + key.toBase64() + "\n");
    QCOMPARE(inspect().config().cipherKey.toHex(), key.toHex());
}

void tst_Settings::cipherKeyRandomWhenEmpty_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::newRow("key2_empty") << QByteArray("[app]\nkey2=\n");
    QTest::newRow("key2_absent") << QByteArray("[app]\nkey1=x\n");
}

void tst_Settings::cipherKeyRandomWhenEmpty()
{
    QFETCH(QByteArray, ini);
    writeAndRead(ini);
    const QByteArray first = inspect().config().cipherKey;
    writeAndRead(ini);
    const QByteArray second = inspect().config().cipherKey;
    QCOMPARE(first.size(), 32);
    QCOMPARE(second.size(), 32);
    QVERIFY2(first != second, first.toHex().constData());
}

void tst_Settings::generatedKeysDiffer()
{
    // (distinct) over many draws: a broken generator repeats or leaves bytes untouched.
    QSet<QByteArray> seen;
    for (int i = 0; i < 64; ++i) {
        const QByteArray key = generateRandomKey();
        QCOMPARE(key.size(), 32);
        seen.insert(key);
    }
    QCOMPARE(seen.size(), 64);
}

void tst_Settings::closeWritesUserStoreNotIni()
{
    const QByteArray text = iniText(quietAgentSettings({{"sql/user", "alice"}, {"sql/query", "\"select id, name from t where u=:s1\""},
                                                        {"http/port", "9999"}}));
    Server &server = agent->start(text);
    server.show();
    server.resize(420, 300);
    QVERIFY(server.close());

    QCOMPARE(agent->work.readFile("tovr_merk.ini").toHex(), text.toHex());

    QSettings store;
    QCOMPARE(store.value("MainWindow/size").toSize(), server.size());
    QCOMPARE(store.value("MainWindow/pos").toPoint(), server.pos());
    QStringList expectedKeys = {"MainWindow/pos", "MainWindow/size", "app/key1", "app/key2",
                                "server/port", "sql/dsn", "sql/host", "sql/password",
                                "sql/port", "sql/query", "sql/ret_param", "sql/type", "sql/user",
                                "test/query1"};
    QStringList keys = store.allKeys();
    keys.sort();
    expectedKeys.sort();
    QCOMPARE(keys, expectedKeys);
    QCOMPARE(store.value("sql/user").toString(), QString("alice"));
    QCOMPARE(store.value("sql/query").toString(), QString("select id, name from t where u=:s1"));
    QCOMPARE(store.value("sql/port").toInt(), 1521);
    QCOMPARE(store.value("app/key2").toString(), QuietCipherKey);
    // It holds the database password and the cipher key: the owner's alone.
    QCOMPARE(QFile::permissions(store.fileName()), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser);
}

void tst_Settings::configurationProblemsSaidAtStart_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QStringList>("lines");
    const QString check = QStringLiteral("\"select uid from users where login=:s1 and pw=:s2\"");
    IniValues good = quietAgentSettings();
    good["sql/query"] = check;
    IniValues comma = good;
    comma["sql/query"] = "select uid, login from users where login=:s1 and pw=:s2";
    IniValues driver = good;
    driver["sql/type"] = "QNOSUCH";
    IniValues lookup = good;
    lookup["sql/query"] = "\"select id from t where x=:user and y=:pass\"";
    IniValues cut = good;
    cut["sql/options"] = "sslmode=verify-full;sslrootcert=/x/root.crt";
    IniValues commented = good;
    commented["sql/options"] = "sslmode=require  ; the server's own certificate";
    IniValues openSecret = good;
    openSecret["sql/password_file"] = "/etc/hostname"; // mode 644
    const QString prefix = QStringLiteral("[e] config: ");
    QTest::newRow("none_when_sound") << iniText(good) << QStringList();
    QTest::newRow("options_cut_at_semicolon")
        << iniText(cut)
        << QStringList{prefix + "sql/options looks cut at a ';', which the INI reader takes for the start of a "
                                "comment; put the whole value in double quotes"};
    QTest::newRow("comment_after_value_not_cut") << iniText(commented) << QStringList();
    QTest::newRow("password_file_readable_by_others")
        << iniText(openSecret)
        << QStringList{prefix + "sql/password_file /etc/hostname can be read by group or others; chmod 600 it"};
    QTest::newRow("unquoted_comma")
        << iniText(comma)
        << QStringList{prefix + "sql/query holds a comma outside double quotes, so it was read as a list and is empty; "
                                "put the whole value in double quotes",
                       prefix + "sql/query has no :s1 and :s2, so the credential check does not run it and answers "
                                "not found"};
    QTest::newRow("one_host_not_a_list_to_driver") << withIniValues(iniText(good), {{"sql/host", ""}}) << QStringList();
    QTest::newRow("driver_not_available")
        << iniText(driver)
        << QStringList{prefix + "sql/type QNOSUCH is not an available driver; available: " + driverList()};
    QTest::newRow("placeholders_spelled_otherwise")
        << iniText(lookup)
        << QStringList{prefix + "sql/query has no :s1 and :s2, so the credential check does not run it and answers "
                                "not found"};
    QTest::newRow("no_ini_file") << QByteArray()
                                 << QStringList{prefix + "no tovr_merk.ini in %1; the built-in defaults apply",
                                                prefix + "sql/type QOCI is not an available driver; available: "
                                                    + driverList(),
                                                prefix + "sql/query has no :s1 and :s2, so the credential check "
                                                         "does not run it and answers not found"};
}

// One line each, on the debug output and the panel, not in the log file.
void tst_Settings::configurationProblemsSaidAtStart()
{
    QFETCH(QByteArray, ini);
    QFETCH(QStringList, lines);
    lines.replaceInStrings("%1", agent->work.path());
    MessageCapture capture;
    if (ini.isEmpty()) {
        QFile::remove(agent->work.filePath("tovr_merk.ini"));
        agent->restart();
    } else {
        agent->start(ini);
    }
    QCOMPARE(capture.debugStartingWith("[e] config: "), lines);
    QCOMPARE(inspect().panelLines().mid(0, lines.size()), lines);
    for (const QString &line : agent->log())
        QVERIFY2(!line.contains("config"), qPrintable(line));
}

void tst_Settings::closeSavesGeneratedKeyInUse()
{
    IniValues values = quietAgentSettings();
    values.remove("app/key2");
    Server &server = agent->start(values);
    const QByteArray inUse = inspect().config().cipherKey;
    server.close();
    const QString saved = QSettings().value("app/key2").toString();
    QCOMPARE(saved.size(), 44);
    QCOMPARE(QByteArray::fromBase64(saved.toLatin1()).toHex(), inUse.toHex());
}

QTEST_MAIN(tst_Settings)
#include "tst_settings.moc"
