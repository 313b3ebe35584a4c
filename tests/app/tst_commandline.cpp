#include "app/commandline.h"

#include <QProcess>
#include <QtTest>

// The agent's command line answers before any window or network work.
class tst_CommandLine : public QObject
{
    Q_OBJECT

private slots:
    void answersAndExits_data();
    void answersAndExits();
    void fallbackPlatform_data();
    void fallbackPlatform();
};

void tst_CommandLine::answersAndExits_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("printed");
    QTest::newRow("help") << QStringList{"--help"} << QByteArray("  -v, --version  Print the version and exit.");
    QTest::newRow("help_short") << QStringList{"-h"} << QByteArray("reads ./tovr_merk.ini from its working directory");
    QTest::newRow("version") << QStringList{"--version"} << QByteArray("tovr_merk_agent 3.0\n");
    QTest::newRow("version_after_qt_option") << QStringList{"-style", "fusion", "-v"}
                                             << QByteArray("tovr_merk_agent 3.0\n");
}

// No display and no platform: were a window made, Qt would abort.
void tst_CommandLine::answersAndExits()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, printed);
    QProcess agent;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    agent.setProcessEnvironment(env);
    QTemporaryDir work;
    agent.setWorkingDirectory(work.path());
    agent.start(QStringLiteral(AGENT_PATH), arguments);
    QVERIFY(agent.waitForFinished(10000));
    QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.exitCode(), 0);
    const QByteArray out = agent.readAllStandardOutput();
    QVERIFY2(out.contains(printed), out.constData());
    QVERIFY(!QFile::exists(work.filePath(QStringLiteral("debug-log.txt")))); // no start-up ran
}

void tst_CommandLine::fallbackPlatform_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("platformSet");
    QTest::addColumn<bool>("display");
    QTest::addColumn<QString>("platform");
    QTest::newRow("nothing_to_show_on") << QStringList{"agent"} << false << false << "offscreen";
    QTest::newRow("display") << QStringList{"agent"} << false << true << "";
    QTest::newRow("variable_names_one") << QStringList{"agent"} << true << false << "";
    QTest::newRow("argument_names_one") << QStringList{"agent", "-platform", "minimal"} << false << false << "";
}

void tst_CommandLine::fallbackPlatform()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, platformSet);
    QFETCH(bool, display);
    QFETCH(QString, platform);
    QCOMPARE(CommandLine::fallbackPlatform(arguments, platformSet, display), platform);
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
