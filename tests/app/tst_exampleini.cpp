#include "app/settings.h"
#include "support/agent.h"

#include <QFile>
#include <QSettings>
#include <QtTest>

#include <memory>

// dist/tovr_merk.ini, installed as the example configuration, read by a real
// Server: it must set every key to its built-in default and nothing else, and
// its commented credential-check example must be the demo's working statement.
class tst_ExampleIni : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void everyKeyAtItsDefault();
    void namesOnlyKnownKeys();
    void commentedCheckIsTheDemoStatement();

private:
    static QByteArray example() { return sourceFile(QStringLiteral("dist/tovr_merk.ini")); }
    // Reads the INI text as the running agent's settings.
    ServerInspector readSettings(const QByteArray &ini);
    std::unique_ptr<Agent> m_agent;
};

void tst_ExampleIni::init()
{
    m_agent = std::make_unique<Agent>();
    m_agent->start(quietAgentSettings());
    QVERIFY(!example().isEmpty());
}

void tst_ExampleIni::cleanup()
{
    m_agent.reset();
}

ServerInspector tst_ExampleIni::readSettings(const QByteArray &ini)
{
    m_agent->work.writeIni(ini);
    ServerInspector s = m_agent->inspect();
    s.readSettings();
    return s;
}

void tst_ExampleIni::everyKeyAtItsDefault()
{
    Server &server = readSettings(example()).server;
    for (const Settings::Key &key : Settings::table()) {
        const QVariant value = std::visit([&](auto member) { return QVariant::fromValue(server.*member); }, key.member);
        if (key.name == QLatin1String("app/key2")) // empty: a random key
            QCOMPARE(value.toByteArray().size(), Settings::RandomKeyBytes);
        else
            QVERIFY2(value == key.defaultValue, qPrintable(key.name + QStringLiteral(" reads as ") + value.toString()));
    }
}

// Every key of the table is there; a '#' line or a typo would show up as a key of its own.
void tst_ExampleIni::namesOnlyKnownKeys()
{
    m_agent->work.writeIni(example());
    QSettings ini(m_agent->work.filePath(QStringLiteral("tovr_merk.ini")), QSettings::IniFormat);
    QStringList keys = ini.allKeys();
    keys.sort();
    QStringList known;
    for (const Settings::Key &key : Settings::table())
        known << key.name;
    known.sort();
    QCOMPARE(keys, known);
}

void tst_ExampleIni::commentedCheckIsTheDemoStatement()
{
    QByteArray text = example();
    QVERIFY(text.contains("\n;query=\"select") && text.contains("\n;ret_param="));
    text.replace("\n;query=", "\nquery=").replace("\n;ret_param=", "\nret_param=");
    const ServerInspector s = readSettings(text);
    QVERIFY(s.sqlQuery().contains(QLatin1String(":s1")) && s.sqlQuery().contains(QLatin1String(":s2")));

    QSettings demo(QStringLiteral(AGENT_SOURCE_DIR "/demo/tovr_merk.ini"), QSettings::IniFormat);
    QCOMPARE(s.sqlQuery(), demo.value(QStringLiteral("sql/query")).toString());
    QCOMPARE(s.sqlRetParam(), demo.value(QStringLiteral("sql/ret_param")).toString());
}

QTEST_MAIN(tst_ExampleIni)
#include "tst_exampleini.moc"
