#include "support/testsupport.h"

#include "app/server.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
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
    QByteArray lookupReply(const QByteArray &text);

    QTemporaryDir m_root;
    QString m_previousDir;
    std::unique_ptr<BoxDismisser> m_boxes;
    std::unique_ptr<Server> m_agent;
    quint16 m_httpPort = 0;
    quint16 m_lookupPort = 0;
};

static QByteArray readDemoFile(const QString &name)
{
    QFile f(QDir(QStringLiteral(DEMO_DIR)).filePath(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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

static QByteArray withPort(const QByteArray &ini, const QByteArray &section, quint16 port)
{
    QByteArray out, current;
    for (const QByteArray &line : ini.split('\n')) {
        if (line.startsWith('['))
            current = line.mid(1, line.indexOf(']') - 1);
        out += (current == section && line.startsWith("port=")) ? "port=" + QByteArray::number(port)
                                                                : line;
        out += '\n';
    }
    return out;
}

static QByteArray dataStreamString(const QString &text)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_10);
    out << text;
    return bytes;
}

void tst_Demo::initTestCase()
{
    QGuiApplication::setApplicationDisplayName(QStringLiteral("TOVR/MERK SQL Agent (checker) v3"));
    const QString sqlite3 = QStandardPaths::findExecutable(QStringLiteral("sqlite3"));
    if (sqlite3.isEmpty())
        QSKIP("the sqlite3 command is not installed (scripts/install-deps.sh installs it); "
              "the demo database is made with it");
    QVERIFY(m_root.isValid());
    QProcess make;
    make.setStandardInputFile(QDir(QStringLiteral(DEMO_DIR)).filePath(QStringLiteral("demo.sql")));
    make.start(sqlite3, {m_root.filePath(QStringLiteral("demo.sqlite"))});
    QVERIFY(make.waitForFinished(60000));
    QCOMPARE(make.exitCode(), 0);
    QCOMPARE(make.readAllStandardError(), QByteArray());
    QCOMPARE(make.readAllStandardOutput(), QByteArray()); // nothing printed by make demo
    m_previousDir = QDir::currentPath();
}

void tst_Demo::cleanup()
{
    m_agent.reset();
    m_boxes.reset();
    QDir::setCurrent(m_previousDir);
}

// The INI in its own directory beside the database, as scripts/demo.sh lays it
// out, with free ports in place of the shipped ones.
void tst_Demo::startAgent(const QString &iniName, const QString &subdir)
{
    QByteArray ini = readDemoFile(iniName);
    QVERIFY(!ini.isEmpty());
    m_httpPort = freePort();
    m_lookupPort = freePort();
    ini = withPort(withPort(ini, "http", m_httpPort), "server", m_lookupPort);
    QDir root(m_root.path());
    QVERIFY(root.mkpath(subdir));
    QFile file(root.filePath(subdir + QStringLiteral("/tovr_merk.ini")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(ini);
    file.close();
    QVERIFY(QDir::setCurrent(root.filePath(subdir)));
    m_boxes = std::make_unique<BoxDismisser>();
    m_agent = std::make_unique<Server>();
    QVERIFY2(m_boxes->boxes.isEmpty(), qPrintable(m_boxes->texts().join('\n')));
}

// Sends the request and returns everything the agent answers before it closes.
static QByteArray exchange(quint16 port, const QByteArray &request)
{
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    if (!client.waitForConnected(5000))
        return "no connection";
    client.write(request);
    QByteArray answer;
    const bool closed = QTest::qWaitFor([&] {
        answer += client.readAll();
        return client.state() == QAbstractSocket::UnconnectedState;
    }, 10000);
    if (!closed)
        return "still open after 10 s; so far: " + answer;
    return answer + client.readAll();
}

QByteArray tst_Demo::httpBody(const QByteArray &user, const QByteArray &password)
{
    const QByteArray answer = exchange(m_httpPort, "GET /t/check?username=" + user + "&password="
                                                       + password
                                                       + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const int body = answer.indexOf("\r\n\r\n");
    return body < 0 ? answer : answer.mid(body + 4);
}

QByteArray tst_Demo::lookupReply(const QByteArray &text)
{
    return exchange(m_lookupPort, text);
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
    QCOMPARE(lookupReply(text).toHex(' '), dataStreamString(answer).toHex(' '));
    QCOMPARE(m_boxes->texts(),
             QStringList({"In param: " + QString::fromUtf8(text), "Return param: " + answer}));
}

// One sql/query serves both services: the check's statement has no %1, so a
// lookup sent to the check agent binds nothing and finds nothing.
void tst_Demo::lookupOnTheCheckAgentAnswersNone()
{
    startAgent(QStringLiteral("tovr_merk.ini"), QStringLiteral("check"));
    QCOMPARE(lookupReply("1001").toHex(' '), dataStreamString(QStringLiteral("none")).toHex(' '));
}

QTEST_MAIN(tst_Demo)
#include "tst_demo.moc"
