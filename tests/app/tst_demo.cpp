#include "support/agent.h"
#include "support/wireclient.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The demo as make demo and make demo-lookup set it up: the database made from
// demo/demo.sql by the sqlite3 command, each INI in a working directory beside
// it, and a real agent answering real sockets. The answers are the ones the
// README and scripts/demo.sh print.
class tst_Demo : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void shippedPortsAreThePrintedOnes_data();
    void shippedPortsAreThePrintedOnes();
    void databaseHasTheGeneratedUsers();
    void credentialCheck_data();
    void credentialCheck();
    void lookup_data();
    void lookup();
    void lookupOnTheCheckAgentAnswersNone();

private:
    void startAgent(const QString &iniName, const QString &subdir);
    QByteArray httpBody(const QByteArray &user, const QByteArray &password);
    QString lookupReply(const QByteArray &text);

    QTemporaryDir m_root; // the database, made once
    std::unique_ptr<Agent> m_agent;
};

static QByteArray readDemoFile(const QString &name)
{
    return sourceFile(QStringLiteral("demo/") + name);
}

// The value of `key` in INI section `section`, as the file's text has it.
static QByteArray iniValue(const QByteArray &ini, const QByteArray &section, const QByteArray &key)
{
    QByteArray current;
    for (const QByteArray &line : ini.split('\n')) {
        if (line.startsWith('['))
            current = line.mid(1, line.indexOf(']') - 1);
        else if (current == section && line.startsWith(key + '='))
            return line.mid(key.size() + 1).trimmed();
    }
    return QByteArray();
}

void tst_Demo::initTestCase()
{
    const QString sqlite3 = QStandardPaths::findExecutable(QStringLiteral("sqlite3"));
    REQUIRE_HERE(!sqlite3.isEmpty(), QStringLiteral("the sqlite3 command, which makes the demo database, is missing"));
    QVERIFY(m_root.isValid());
    QProcess make;
    make.setStandardInputFile(QStringLiteral(AGENT_SOURCE_DIR "/demo/demo.sql"));
    make.start(sqlite3, {m_root.filePath(QStringLiteral("demo.sqlite"))});
    QVERIFY(make.waitForFinished(60000));
    QCOMPARE(make.exitCode(), 0);
    QCOMPARE(make.readAllStandardError(), QByteArray());
    QCOMPARE(make.readAllStandardOutput(), QByteArray()); // nothing printed by make demo
}

void tst_Demo::cleanup()
{
    m_agent.reset();
}

// The INI in its own directory beside the database, as scripts/demo.sh lays it
// out, with free ports in place of the shipped ones, and the program's own
// limits, as make demo runs it.
void tst_Demo::startAgent(const QString &iniName, const QString &subdir)
{
    const QByteArray ini = readDemoFile(iniName);
    QVERIFY(!ini.isEmpty());
    m_agent = std::make_unique<Agent>(AgentLimits(), subdir);
    QVERIFY(QFile::copy(m_root.filePath(QStringLiteral("demo.sqlite")),
                        QDir(m_agent->work.root()).filePath(QStringLiteral("demo.sqlite"))));
    m_agent->values[QStringLiteral("http/port")] = QString::number(freePort());
    m_agent->values[QStringLiteral("server/port")] = QString::number(freePort());
    m_agent->start(withIniValues(ini, m_agent->values));
    QVERIFY2(m_agent->boxes.boxes.isEmpty(), qPrintable(m_agent->boxes.texts().join('\n')));
}

QByteArray tst_Demo::httpBody(const QByteArray &user, const QByteArray &password)
{
    const QByteArray answer = exchange(m_agent->httpPort(), checkRequest(user, password));
    const int body = answer.indexOf("\r\n\r\n");
    return body < 0 ? answer : answer.mid(body + 4);
}

QString tst_Demo::lookupReply(const QByteArray &text)
{
    return lookupReplyText(exchange(m_agent->lookupPort(), text));
}

void tst_Demo::shippedPortsAreThePrintedOnes_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QByteArray>("httpPort");
    QTest::addColumn<QByteArray>("lookupPort");
    // make demo prints curl calls to 8880; make demo-lookup's client call uses
    // the client's default port, 18210. Both agents can run at once.
    QTest::newRow("check") << "tovr_merk.ini" << QByteArray("8880") << QByteArray("18211");
    QTest::newRow("lookup") << "tovr_merk-lookup.ini" << QByteArray("8881") << QByteArray("18210");
}

void tst_Demo::shippedPortsAreThePrintedOnes()
{
    QFETCH(QString, ini);
    const QByteArray text = readDemoFile(ini);
    QTEST(iniValue(text, "http", "port"), "httpPort");
    QTEST(iniValue(text, "server", "port"), "lookupPort");
    QCOMPARE(iniValue(text, "sql", "dsn"), QByteArray("../demo.sqlite"));
}

void tst_Demo::databaseHasTheGeneratedUsers()
{
    startAgent(QStringLiteral("tovr_merk.ini"), QStringLiteral("check"));
    // The named users and the five thousand generated ones.
    QCOMPARE(httpBody("user0001", "pass0001"), QByteArray("{\"rez\":\"exist\",\"userid\":\"20001\"}\n"));
    QCOMPARE(httpBody("user5000", "pass5000"), QByteArray("{\"rez\":\"exist\",\"userid\":\"25000\"}\n"));
    QCOMPARE(httpBody("user5001", "pass5001"), QByteArray("{\"rez\":\"notfount\",\"e\":\"n\"}\n"));
}

void tst_Demo::credentialCheck_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("body");
    const QByteArray notFound = "{\"rez\":\"notfount\",\"e\":\"n\"}\n";
    QTest::newRow("alice_exists") << QByteArray("alice") << QByteArray("wonderland")
                                  << QByteArray("{\"rez\":\"exist\",\"userid\":\"1001\"}\n");
    QTest::newRow("alice_wrong_password") << QByteArray("alice") << QByteArray("wrong") << notFound;
    QTest::newRow("bob_exists") << QByteArray("bob") << QByteArray("builder")
                                << QByteArray("{\"rez\":\"exist\",\"userid\":\"1002\"}\n");
    QTest::newRow("carol_punctuation") << QByteArray("carol") << QByteArray("c4r0l!")
                                       << QByteArray("{\"rez\":\"exist\",\"userid\":\"1003\"}\n");
    QTest::newRow("dave_empty_password") << QByteArray("dave") << QByteArray()
                                         << QByteArray("{\"rez\":\"exist\",\"userid\":\"1004\"}\n");
    QTest::newRow("unknown_user") << QByteArray("mallory") << QByteArray("wonderland") << notFound;
    QTest::newRow("password_of_another_user") << QByteArray("bob") << QByteArray("wonderland")
                                              << notFound;
}

void tst_Demo::credentialCheck()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, password);
    startAgent(QStringLiteral("tovr_merk.ini"), QStringLiteral("check"));
    QTEST(httpBody(user, password), "body");
}

void tst_Demo::lookup_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("answer");
    QTest::newRow("arrived_1001") << QByteArray("1001") << "1001";
    QTest::newRow("arrived_1002") << QByteArray("1002") << "1002";
    QTest::newRow("not_arrived_1003") << QByteArray("1003") << "none";
    QTest::newRow("no_such_reservation") << QByteArray("4711") << "none";
    QTest::newRow("sql_in_the_text_is_only_a_value") << QByteArray("1001 or 1=1") << "none";
}

void tst_Demo::lookup()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, answer);
    startAgent(QStringLiteral("tovr_merk-lookup.ini"), QStringLiteral("lookup"));
    QCOMPARE(lookupReply(text), answer);
    QCOMPARE(m_agent->boxes.texts(),
             QStringList({"In param: " + QString::fromUtf8(text), "Return param: " + answer}));
}

// One sql/query serves both services: the check's statement has no %1, so a
// lookup sent to the check agent binds nothing and finds nothing.
void tst_Demo::lookupOnTheCheckAgentAnswersNone()
{
    startAgent(QStringLiteral("tovr_merk.ini"), QStringLiteral("check"));
    QCOMPARE(lookupReply("1001"), QStringLiteral("none"));
}

QTEST_MAIN(tst_Demo)
#include "tst_demo.moc"
