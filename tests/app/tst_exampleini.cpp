#include "app/settings.h"
#include "support/serveraccess.h"
#include "support/testsupport.h"

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
    static QByteArray example();
    std::unique_ptr<WorkDir> m_work;
    std::unique_ptr<BoxDismisser> m_boxes;
    std::unique_ptr<Server> m_server;
};

QByteArray tst_ExampleIni::example()
{
    QFile f(QStringLiteral(EXAMPLE_INI));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void tst_ExampleIni::init()
{
    m_work = std::make_unique<WorkDir>(iniText(quietAgentSettings()));
    m_boxes = std::make_unique<BoxDismisser>();
    m_server = std::make_unique<Server>();
    QVERIFY(!example().isEmpty());
}

void tst_ExampleIni::cleanup()
{
    m_server.reset();
    m_boxes.reset();
    m_work.reset();
}

void tst_ExampleIni::everyKeyAtItsDefault()
{
    m_work->writeIni(example());
    ServerInspector(*m_server).readSettings();
    for (const Settings::Key &key : Settings::table()) {
        const QVariant value =
            std::visit([&](auto member) { return QVariant::fromValue(m_server.get()->*member); }, key.member);
        if (key.name == QLatin1String("app/key2")) // empty: a random key
            QCOMPARE(value.toByteArray().size(), Settings::RandomKeyBytes);
        else
            QVERIFY2(value == key.defaultValue,
                     qPrintable(key.name + QStringLiteral(" reads as ") + value.toString()));
    }
}

// Every key of the table is there; a '#' line or a typo would show up as a key of its own.
void tst_ExampleIni::namesOnlyKnownKeys()
{
    m_work->writeIni(example());
    QSettings ini(m_work->filePath(QStringLiteral("tovr_merk.ini")), QSettings::IniFormat);
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
    m_work->writeIni(text);
    ServerInspector s(*m_server);
    s.readSettings();
    QVERIFY(s.sqlQuery().contains(QLatin1String(":s1")) && s.sqlQuery().contains(QLatin1String(":s2")));

    QSettings demo(QStringLiteral(DEMO_INI), QSettings::IniFormat);
    QCOMPARE(s.sqlQuery(), demo.value(QStringLiteral("sql/query")).toString());
    QCOMPARE(s.sqlRetParam(), demo.value(QStringLiteral("sql/ret_param")).toString());
}

QTEST_MAIN(tst_ExampleIni)
#include "tst_exampleini.moc"
