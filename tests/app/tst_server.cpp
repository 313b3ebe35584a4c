#include "support/agent.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>
#include <QtTest>

class tst_Server : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void dialogShape();
    void quitWritesSettingsAndEndsWithZero();
    void escapeEndsWithoutWritingSettings();
    void returnDoesNotPressQuit();
};

void tst_Server::init()
{
    QSettings().clear();
}

static QPushButton *quitButton(Server &server)
{
    const auto buttons = server.findChildren<QPushButton *>();
    return buttons.size() == 1 ? buttons.first() : nullptr;
}

void tst_Server::dialogShape()
{
    Agent agent;
    Server &server = agent.start(quietAgentSettings());
    ServerInspector s = agent.inspect();
    QCOMPARE(server.windowTitle(), QString("TOVR/MERK SQL Agent (checker) v3"));
    QVERIFY(!(server.windowFlags() & Qt::WindowContextHelpButtonHint));
    QCOMPARE(s.statusLabel()->textInteractionFlags(), Qt::TextBrowserInteraction);
    QPushButton *quit = quitButton(server);
    QVERIFY(quit);
    QCOMPARE(quit->text(), QString("Quit"));
    QVERIFY(!quit->autoDefault());
    QVERIFY(!quit->isDefault());
    QVERIFY(!s.logPanel()->isReadOnly());

    // Top to bottom: status line, the button row, the panel.
    auto *layout = qobject_cast<QVBoxLayout *>(server.layout());
    QVERIFY(layout);
    QCOMPARE(layout->count(), 3);
    QCOMPARE(layout->itemAt(0)->widget(), static_cast<QWidget *>(s.statusLabel()));
    QVERIFY(layout->itemAt(1)->layout());
    QCOMPARE(layout->itemAt(1)->layout()->indexOf(quit), 1);
    QCOMPARE(layout->itemAt(2)->widget(), static_cast<QWidget *>(s.logPanel()));
}

void tst_Server::quitWritesSettingsAndEndsWithZero()
{
    Agent agent;
    Server &server = agent.start(quietAgentSettings());
    server.show();
    QVERIFY(QTest::qWaitForWindowExposed(&server));
    QTimer::singleShot(0, quitButton(server), &QPushButton::click);
    const int rc = qApp->exec();
    QCOMPARE(rc, 0);
    QVERIFY(!server.isVisible());
    QVERIFY(QSettings().contains("MainWindow/size"));
    QVERIFY(QSettings().contains("sql/type"));
}

void tst_Server::escapeEndsWithoutWritingSettings()
{
    Agent agent;
    Server &server = agent.start(quietAgentSettings());
    server.show();
    QVERIFY(QTest::qWaitForWindowExposed(&server));
    QTimer::singleShot(0, &server, [&server] { QTest::keyClick(&server, Qt::Key_Escape); });
    const int rc = qApp->exec();
    QCOMPARE(rc, 0);
    QVERIFY(!server.isVisible());
    QVERIFY(QSettings().allKeys().isEmpty());
}

void tst_Server::returnDoesNotPressQuit()
{
    Agent agent;
    Server &server = agent.start(quietAgentSettings());
    server.show();
    QVERIFY(QTest::qWaitForWindowExposed(&server));
    QSignalSpy clicked(quitButton(server), &QPushButton::clicked);
    QTest::keyClick(&server, Qt::Key_Return);
    QTest::keyClick(&server, Qt::Key_Enter);
    QCOMPARE(clicked.count(), 0);
    QVERIFY(server.isVisible());
}

QTEST_MAIN(tst_Server)
#include "tst_server.moc"
