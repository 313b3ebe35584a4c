#include "support/agent.h"
#include "support/sqlfixture.h"

#include <QApplication>
#include <QLabel>
#include <QNetworkInterface>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QtTest>

namespace {
// An agent's dialog shown, under the offscreen platform, as a person sees it.
struct Shown
{
    Shown() : server(&agent.start(quietAgentSettings()))
    {
        server->show();
        exposed = QTest::qWaitForWindowExposed(server);
    }
    Agent agent;
    Server *server;
    bool exposed = false;
};
} // namespace

// The dialog: its shape and what it shows (the title, the status line naming
// both ports, the Quit button centred between the status line and the panel,
// the panel holding the start-up lines), and how it ends.
class tst_Server : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void dialogShape();
    void statusLineNamesBothPorts();
    void layoutAsShown_data();
    void layoutAsShown();
    void panelHoldsStartupLines();
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
}

void tst_Server::statusLineNamesBothPorts()
{
    Shown shown;
    QVERIFY(shown.exposed);
    QLabel *status = shown.agent.inspect().statusLabel();
    QVERIFY(status->isVisible());
    const QStringList lines = status->text().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 2);
    const QRegularExpression apib(QStringLiteral("^The APIB is running IP: (\\S+) port: (\\d+)$"));
    const QRegularExpression http(QStringLiteral("^The HTTP is running IP: (\\S+) port: (\\d+)$"));
    const auto apibLine = apib.match(lines.at(0));
    const auto httpLine = http.match(lines.at(1));
    QVERIFY2(apibLine.hasMatch(), qPrintable(lines.at(0)));
    QVERIFY2(httpLine.hasMatch(), qPrintable(lines.at(1)));
    QCOMPARE(apibLine.captured(2), shown.agent.values.value(QStringLiteral("server/port")));
    QCOMPARE(httpLine.captured(2), shown.agent.values.value(QStringLiteral("http/port")));
    QCOMPARE(apibLine.captured(1), httpLine.captured(1));
    // An IPv4 address of this machine's (Net::statusAddress tells which).
    const QHostAddress ip(apibLine.captured(1));
    QVERIFY(ip.toIPv4Address() != 0 && (QNetworkInterface::allAddresses().contains(ip) || ip.isLoopback()));
    // Not cut off: the label has at least the room its text asks for.
    QVERIFY(status->width() >= status->sizeHint().width());
    QVERIFY(status->height() >= status->sizeHint().height());
}

void tst_Server::layoutAsShown_data()
{
    QTest::addColumn<QSize>("resizeTo");
    QTest::newRow("as_it_opens") << QSize();
    QTest::newRow("made_larger") << QSize(900, 700);
}

void tst_Server::layoutAsShown()
{
    QFETCH(QSize, resizeTo);
    Shown shown;
    QVERIFY(shown.exposed);
    Server *m_server = shown.server;
    if (resizeTo.isValid()) {
        m_server->resize(resizeTo);
        QTRY_COMPARE(m_server->size(), resizeTo);
    }
    ServerInspector s = shown.agent.inspect();
    QLabel *status = s.statusLabel();
    QPushButton *quit = quitButton(*m_server);
    QVERIFY(quit);
    QWidget *panel = s.logPanel();
    for (QWidget *w : {static_cast<QWidget *>(status), static_cast<QWidget *>(quit), panel}) {
        QVERIFY(w->isVisible());
        QVERIFY2(m_server->rect().contains(QRect(w->mapTo(m_server, QPoint()), w->size())),
                 w->metaObject()->className());
    }
    const QRect statusRect = status->geometry();
    const QRect quitRect = quit->geometry();
    const QRect panelRect = panel->geometry();
    // Top to bottom, without overlap: status line, Quit, panel.
    QVERIFY(statusRect.bottom() < quitRect.top());
    QVERIFY(quitRect.bottom() < panelRect.top());
    // Centred: the same room left and right of the button, within a pixel.
    const int left = quitRect.left() - panelRect.left();
    const int right = panelRect.right() - quitRect.right();
    QVERIFY2(qAbs(left - right) <= 1, qPrintable(QStringLiteral("%1 vs %2").arg(left).arg(right)));
    QVERIFY(left > 0);
    QCOMPARE(quit->text(), QStringLiteral("Quit"));
    QVERIFY(quit->width() >= quit->sizeHint().width());
    // The panel takes the height the window gains.
    if (resizeTo.isValid())
        QVERIFY(panelRect.height() > resizeTo.height() / 2);
}

void tst_Server::panelHoldsStartupLines()
{
    Shown shown;
    const QStringList lines = shown.agent.inspect().panelLines();
    QVERIFY2(lines.size() >= 10, qPrintable(lines.join('\n')));
    // The settings keep the built-in lookup statement, which the check refuses.
    QCOMPARE(lines.at(0), QStringLiteral("[e] config: sql/query has no :s1 and :s2, so the credential check "
                                         "does not run it and answers not found"));
    QVERIFY2(lines.at(1).startsWith(QLatin1String("drivers=")), qPrintable(lines.at(1)));
    QVERIFY(lines.at(1).contains(QLatin1String("QSQLITE")));
    const QStringList expected = startupPanel(QStringLiteral("localhost"), 1521, QStringLiteral(":memory:")).mid(1);
    QCOMPARE(lines.mid(2, expected.size()), expected);
}

void tst_Server::quitWritesSettingsAndEndsWithZero()
{
    Shown shown;
    QVERIFY(shown.exposed);
    Server &server = *shown.server;
    QTimer::singleShot(0, quitButton(server), &QPushButton::click);
    const int rc = qApp->exec();
    QCOMPARE(rc, 0);
    QVERIFY(!server.isVisible());
    QVERIFY(QSettings().contains("MainWindow/size"));
    QVERIFY(QSettings().contains("sql/type"));
}

void tst_Server::escapeEndsWithoutWritingSettings()
{
    Shown shown;
    QVERIFY(shown.exposed);
    Server &server = *shown.server;
    QTimer::singleShot(0, &server, [&server] { QTest::keyClick(&server, Qt::Key_Escape); });
    const int rc = qApp->exec();
    QCOMPARE(rc, 0);
    QVERIFY(!server.isVisible());
    QVERIFY(QSettings().allKeys().isEmpty());
}

void tst_Server::returnDoesNotPressQuit()
{
    Shown shown;
    QVERIFY(shown.exposed);
    Server &server = *shown.server;
    QSignalSpy clicked(quitButton(server), &QPushButton::clicked);
    QTest::keyClick(&server, Qt::Key_Return);
    QTest::keyClick(&server, Qt::Key_Enter);
    QCOMPARE(clicked.count(), 0);
    QVERIFY(server.isVisible());
}

QTEST_MAIN(tst_Server)
#include "tst_server.moc"
