#ifndef SERVERINSPECTOR_H
#define SERVERINSPECTOR_H

#include "app/eventlog.h"
#include "app/server.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTextEdit>

// The tests' window into Server's private state; Server names it a friend.
struct ServerInspector
{
    explicit ServerInspector(Server &s) : server(s) {}
    Server &server;

    const QString &sqlType() const { return server.sqlType; }
    const QString &sqlHost() const { return server.sqlHost; }
    int sqlPort() const { return server.sqlPort; }
    const QString &sqlDsn() const { return server.sqlDsn; }
    const QString &sqlUser() const { return server.sqlUser; }
    const QString &sqlPassword() const { return server.sqlPassword; }
    const QString &sqlQuery() const { return server.sqlQuery; }
    const QString &sqlRetParam() const { return server.sqlRetParam; }
    const QString &testQuery1() const { return server.testQuery1; }
    const QString &appKey1() const { return server.appKey1; }
    const QByteArray &cipherKey() const { return server.cipherKey; }
    int serverPort() const { return server.serverPort; }
    int httpPort() const { return server.httpPort; }
    const QString &configHost() const { return server.configHost; }
    QSqlDatabase &db() const { return server.db; }
    QLabel *statusLabel() const { return server.statusLabel; }
    QTcpServer *tcpServer() const { return server.tcpServer; }
    QTcpServer *httpServer() const { return server.httpServer; }
    QTextEdit *logPanel() const { return server.logPanel; }

    void readSettings() { server.readSettings(); }
    // The check's result once it is in.
    QString checkUser(const QString &user, const QString &password)
    {
        QString result;
        bool done = false;
        server.checkUser(user, password, [&](const Http::Verdict &verdict) {
            result = verdict.result;
            done = true;
        });
        if (!QTest::qWaitFor([&] { return done; }))
            qWarning("the check did not answer");
        return result;
    }
    Database &database() const { return *server.database; }
    // The pool when one is configured, else the database.
    StatementExecutor &executor() const { return server.executor(); }

    // Every queued panel line drawn, then the panel's paragraphs.
    QStringList panelLines() const
    {
        server.panelFeed->flush();
        return server.logPanel->toPlainText().split(QLatin1Char('\n'));
    }
};

#endif // SERVERINSPECTOR_H
