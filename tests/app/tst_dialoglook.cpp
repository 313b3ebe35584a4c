#include "support/agent.h"
#include "support/sqlfixture.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QtTest>

#include <memory>

// What a person sees of the shown dialog, under the offscreen platform: the
// title, the status line naming both ports, the Quit button centred between
// the status line and the panel, and the panel holding the start-up lines.
class tst_DialogLook : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void title();
    void statusLineNamesBothPorts();
    void layoutAsShown_data();
    void layoutAsShown();
    void panelHoldsStartupLines();

private:
    QPushButton *quitButton() const;
    std::unique_ptr<Agent> m_agent;
    Server *m_server = nullptr;
};

void tst_DialogLook::init()
{
    QSettings().clear();
    m_agent = std::make_unique<Agent>();
    m_server = &m_agent->start(quietAgentSettings());
    QVERIFY2(m_agent->boxes.boxes.isEmpty(), qPrintable(m_agent->boxes.texts().join('\n')));
    m_server->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_server));
}

void tst_DialogLook::cleanup()
{
    m_server = nullptr;
    m_agent.reset();
}

QPushButton *tst_DialogLook::quitButton() const
{
    const auto buttons = m_server->findChildren<QPushButton *>();
    return buttons.size() == 1 ? buttons.first() : nullptr;
}

void tst_DialogLook::title()
{
    QCOMPARE(m_server->windowTitle(), QStringLiteral("TOVR/MERK SQL Agent (checker) v3"));
    QVERIFY(m_server->isVisible());
}

void tst_DialogLook::statusLineNamesBothPorts()
{
    QLabel *status = m_agent->inspect().statusLabel();
    QVERIFY(status->isVisible());
    const QStringList lines = status->text().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 2);
    const QRegularExpression apib(QStringLiteral("^The APIB is running IP: (\\S+) port: (\\d+)$"));
    const QRegularExpression http(QStringLiteral("^The HTTP is running IP: (\\S+) port: (\\d+)$"));
    const auto apibLine = apib.match(lines.at(0));
    const auto httpLine = http.match(lines.at(1));
    QVERIFY2(apibLine.hasMatch(), qPrintable(lines.at(0)));
    QVERIFY2(httpLine.hasMatch(), qPrintable(lines.at(1)));
    QCOMPARE(apibLine.captured(2), m_agent->values.value(QStringLiteral("server/port")));
    QCOMPARE(httpLine.captured(2), m_agent->values.value(QStringLiteral("http/port")));
    QCOMPARE(apibLine.captured(1), httpLine.captured(1));
    // Not cut off: the label has at least the room its text asks for.
    QVERIFY(status->width() >= status->sizeHint().width());
    QVERIFY(status->height() >= status->sizeHint().height());
}

void tst_DialogLook::layoutAsShown_data()
{
    QTest::addColumn<QSize>("resizeTo");
    QTest::newRow("as_it_opens") << QSize();
    QTest::newRow("made_larger") << QSize(900, 700);
}

void tst_DialogLook::layoutAsShown()
{
    QFETCH(QSize, resizeTo);
    if (resizeTo.isValid()) {
        m_server->resize(resizeTo);
        QTRY_COMPARE(m_server->size(), resizeTo);
    }
    ServerInspector s = m_agent->inspect();
    QLabel *status = s.statusLabel();
    QPushButton *quit = quitButton();
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

void tst_DialogLook::panelHoldsStartupLines()
{
    const QStringList lines = m_agent->inspect().panelLines();
    QVERIFY2(lines.size() >= 10, qPrintable(lines.join('\n')));
    // The settings keep the built-in lookup statement, which the check refuses.
    QCOMPARE(lines.at(0), QStringLiteral("[e] config: sql/query has no :s1 and :s2, so the credential check "
                                         "does not run it and answers not found"));
    QVERIFY2(lines.at(1).startsWith(QLatin1String("drivers=")), qPrintable(lines.at(1)));
    QVERIFY(lines.at(1).contains(QLatin1String("QSQLITE")));
    const QStringList expected = startupPanel(QStringLiteral("localhost"), 1521, QStringLiteral(":memory:")).mid(1);
    QCOMPARE(lines.mid(2, expected.size()), expected);
}

QTEST_MAIN(tst_DialogLook)
#include "tst_dialoglook.moc"
