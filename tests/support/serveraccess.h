#ifndef SERVERINSPECTOR_H
#define SERVERINSPECTOR_H

#include "app/checkbackend.h"
#include "app/panelfeed.h"
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

    const AgentConfig &config() const { return server.config; }
    QSqlDatabase &db() const { return server.db; }
    QLabel *statusLabel() const { return server.statusLabel; }
    QTcpServer *tcpServer() const { return server.tcpServer; }
    QTcpServer *httpServer() const { return server.httpServer; }
    QTextEdit *logPanel() const { return server.logPanel; }
    const HttpEndpoint &http() const { return *server.http; }

    void readSettings() { server.readSettings(); }
    // What SIGHUP asks for, at once.
    void reloadNow() { server.reloadNow(); }
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
    Database &database() const { return server.backend().database; }
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
