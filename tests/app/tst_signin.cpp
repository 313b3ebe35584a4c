#include "support/agent.h"
#include "support/haproxy.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"

#include <QtTest>

// A browser (curl) signs in to a page behind real nginx and Caddy, each on the
// configuration dist/ ships, in front of the real agent on a users table in
// SQLite whose password is a bcrypt hash made by htpasswd.
namespace {
using Kind = WebProxy::Kind;

// The shipped configuration on the test's ports (*error names an address it
// no longer has), and the application: a site of the same proxy that shows
// the X-Remote-User and X-Remote-Id it was handed.
QByteArray sites(Kind kind, quint16 proxy, quint16 agent, quint16 app, QString *error)
{
    const bool nginx = kind == Kind::Nginx;
    const QByteArray at = "127.0.0.1:", front = at + QByteArray::number(proxy), back = at + QByteArray::number(app);
    QByteArray text = sourceFile(nginx ? "dist/nginx/tovr-merk-auth.conf" : "dist/caddy/Caddyfile");
    for (const auto &[from, to] : QList<QPair<QByteArray, QByteArray>> {{at + "8882", at + QByteArray::number(agent)},
             {at + "8080", back}, {nginx ? "listen 80;" : "app.example.com {", nginx ? "listen " + front + ";" : "http://" + front + " {"}})
        text.contains(from) ? void(text.replace(from, to)) : void(*error += "no " + from + " to rewrite; ");
    return text + (nginx ? "server {\nlisten " + back + ";\nreturn 200 \"page for $http_x_remote_user $http_x_remote_id\";\n}\n"
                         : "http://" + back + " {\n\trespond \"page for {http.request.header.X-Remote-User} {http.request.header.X-Remote-Id}"
                                                     "{http.request.header.X_Remote_User}{http.request.header.X-Remote_Id}{http.request.header.X_Remote-User}\"\n}\n");
}

// The agent on alice's bcrypt hash (uid u-17), the proxy in front of it.
struct SignIn
{
    explicit SignIn(Kind kind) : proxy(kind)
    {
        const ProgramRun htpasswd = runProgram("htpasswd", {"-nbB", "-C", "5", "alice", "Zq9secret"});
        const QByteArray hash = htpasswd.out.trimmed().mid(6);
        error = htpasswd.exitCode != 0 ? "htpasswd: " + htpasswd.err : startOnSqlite(agent, {"create table users(login text, pw text, uid text)",
                                      "insert into users values('alice', '" + hash + "', 'u-17')"},
                              "select uid, pw from users where login = :s1", "uid",
                              {{"sql/password_column", "pw"}, {"sql/timeout", "1"}, {"auth/port", QString::number(freePort())},
                               {"admin/port", QString::number(freePort())}, {"log/audit", agent.work.filePath("audit.log")}});
        const QByteArray config = sites(kind, port, agent.port("auth/port"), freePort(), &error);
        if (error.isEmpty())
            proxy.start(config, port, &error);
    }
    // "<status> <each WWW-Authenticate value>", then the page or "<no page>";
    // with a query of curl's globbing, every answer's header and page.
    QByteArray fetch(const QStringList &arguments, const QString &query = {}) const
    {
        const QByteArray out = runProgram("curl", QStringList {"-sS", "--noproxy", "*", "--max-time", "20", "-D", "-",
                                                               QString("http://127.0.0.1:%1/page%2").arg(port).arg(query)} + arguments).out;
        const int end = out.indexOf("\r\n\r\n");
        QByteArray shown = out.mid(9, 3);
        for (const QByteArray &line : out.left(end).split('\n'))
            if (line.toLower().startsWith("www-authenticate:"))
                shown += ' ' + line.mid(17).trimmed();
        return query.isEmpty() ? shown + '\n' + (out.mid(end + 4).startsWith("page for") ? out.mid(end + 4) : "<no page>") : out;
    }

    MessageCapture quiet;
    Agent agent;
    WebProxy proxy;
    quint16 port = freePort();
    QString error;
};
} // namespace

class tst_SignIn : public QObject
{
    Q_OBJECT

private slots:
    void behindProxy_data();
    void behindProxy();
};

void tst_SignIn::behindProxy_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("unavailable"); // what a browser gets while the database is locked
    QTest::newRow("nginx") << int(Kind::Nginx) << QByteArray("500\n<no page>"); // any other status is a 500
    QTest::newRow("caddy") << int(Kind::Caddy) << QByteArray("503\n<no page>"); // the agent's answer passed on
}

// The page shows the right user, never one the browser names (nor spells with underscores); wrong or no
// credentials get the Basic challenge, once; a locked database fails closed
// without asking for a password again; 300 requests through the proxy take
// fewer than 30 connections to the agent.
void tst_SignIn::behindProxy()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, unavailable);
    SignIn rig {Kind(kind)};
    QVERIFY2(rig.error.isEmpty(), qPrintable(rig.error));
    const QStringList alice {"-u", "alice:Zq9secret"};

    QCOMPARE(rig.fetch(alice + QStringList {"-H", "X-Remote-User: mallory", "-H", "X_Remote_User: m1", "-H", "X-Remote_Id: m2", "-H", "X_Remote-User: m3"}),
             QByteArray("200\npage for alice u-17"));
    for (const QStringList &refused : QList<QStringList> {{"-u", "alice:wrong"}, {"-u", "bob:Zq9secret"}, {}})
        QCOMPARE(rig.fetch(refused), QByteArray("401 Basic realm=\"TOVR/MERK\", charset=\"UTF-8\"\n<no page>"));
    // The audit names the listener and the client nginx or Caddy forwarded, never the password.
    const QString audit = rig.agent.work.filePath("audit.log");
    QTRY_COMPARE(readFile(audit).count("\"client\":\"127.0.0.1\",\"listener\":\"auth\",\"user\":\"alice\",\"verdict\":\"exist\""), 1);
    QTRY_COMPARE(readFile(audit).count("\"listener\":\"auth\",\"user\":\"bob\",\"verdict\":\"notfount\""), 1);
    QVERIFY(!readFile(audit).contains("Zq9secret"));

    const QByteArray pages = rig.fetch(alice, "?[1-300]");
    QCOMPARE(pages.count("page for alice u-17"), 300);
    QCOMPARE(pages.count("HTTP/1.1 200 OK\r\n"), 300);
    const int accepted = metricValue(rig.agent.port("admin/port"), "tovr_merk_auth_connections_accepted_total").toInt();
    QVERIFY2(accepted > 0 && accepted < 30, QByteArray::number(accepted).constData());

    SqlSession lock("QSQLITE", [&](QSqlDatabase &db) { db.setDatabaseName(rig.agent.work.filePath("agent.db")); });
    lock.run({"BEGIN EXCLUSIVE"});
    QCOMPARE(rig.fetch(alice), unavailable);
}

QTEST_MAIN(tst_SignIn)
#include "tst_signin.moc"
