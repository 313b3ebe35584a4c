#include "app/settings.h"
#include "support/testsupport.h"

#include <QSettings>
#include <QtTest>

// dist/tovr_merk.ini, installed as the example configuration, read as the
// agent reads its INI: it must set every key to its built-in default and
// nothing else, and its commented credential-check example must be the demo's
// working statement.
class tst_ExampleIni : public QObject
{
    Q_OBJECT

private slots:
    void everyKeyAtItsDefault();
    void namesOnlyKnownKeys();
    void commentedCheckIsTheDemoStatement();

private:
    static QByteArray example() { return sourceFile(QStringLiteral("dist/tovr_merk.ini")); }
    // The configuration the INI text gives.
    AgentConfig read(const QByteArray &ini);
    WorkDir work;
};

AgentConfig tst_ExampleIni::read(const QByteArray &ini)
{
    work.writeIni(ini);
    Settings::Findings findings;
    return Settings::read(Settings::IniPath, &findings);
}

void tst_ExampleIni::everyKeyAtItsDefault()
{
    const AgentConfig config = read(example());
    for (const Settings::Key &key : Settings::table()) {
        QVariant value = std::visit([&](auto member) { return QVariant::fromValue(config.*member); }, key.member);
        if (value.type() == QVariant::StringList) // a list reads back as its entries, comma-joined
            value = value.toStringList().join(',');
        if (key.name == QLatin1String("app/key2")) // empty: a random key
            QCOMPARE(value.toByteArray().size(), Settings::RandomKeyBytes);
        else
            QVERIFY2(value == key.defaultValue, qPrintable(key.name + QStringLiteral(" reads as ") + value.toString()));
    }
}

// Every key of the table is there; a '#' line or a typo would show up as a key of its own.
void tst_ExampleIni::namesOnlyKnownKeys()
{
    work.writeIni(example());
    QSettings ini(work.filePath(QStringLiteral("tovr_merk.ini")), QSettings::IniFormat);
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
    const AgentConfig config = read(text);
    QVERIFY(config.sqlQuery.contains(QLatin1String(":s1")) && config.sqlQuery.contains(QLatin1String(":s2")));

    QSettings demo(QStringLiteral(AGENT_SOURCE_DIR "/demo/tovr_merk.ini"), QSettings::IniFormat);
    QCOMPARE(config.sqlQuery, demo.value(QStringLiteral("sql/query")).toString());
    QCOMPARE(config.sqlRetParam, demo.value(QStringLiteral("sql/ret_param")).toString());
}

QTEST_MAIN(tst_ExampleIni)
#include "tst_exampleini.moc"
