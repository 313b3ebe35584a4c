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
const QByteArray Challenge = "Basic realm=\"TOVR/MERK\", charset=\"UTF-8\"";

struct Fetched
{
    int status = 0;
    QByteArray challenges, body; // the WWW-Authenticate values, one a line
};

// Runs curl with arguments, waiting while the agent of this process answers.
QByteArray curl(const QStringList &arguments)
{
    QProcess curl;
    QSignalSpy ended(&curl, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    curl.start("curl", QStringList {"-sS", "--noproxy", "*", "--max-time", "20"} + arguments);
    return ended.wait(30000) ? curl.readAll() : "<curl did not end>";
}

// The shipped configuration on the test's ports (*error names an address it
// no longer has), and the application: a site of the same proxy that shows
// the X-Remote-User and X-Remote-Id it was handed.
QByteArray sites(Kind kind, quint16 proxy, quint16 agent, quint16 app, QString *error)
{
    const bool nginx = kind == Kind::Nginx;
    const QByteArray at = "127.0.0.1:";
    QByteArray text = sourceFile(nginx ? "dist/nginx/tovr-merk-auth.conf" : "dist/caddy/Caddyfile");
    for (const auto &[from, to] : QList<QPair<QByteArray, QByteArray>> {
             {at + "8882", at + QByteArray::number(agent)}, {at + "8080", at + QByteArray::number(app)},
             {nginx ? "listen 80;" : "app.example.com {", (nginx ? "listen " : "http://") + at + QByteArray::number(proxy) + (nginx ? ";" : " {")}})
        text.contains(from) ? void(text.replace(from, to)) : void(*error += "no " + from + " to rewrite; ");
    return text + (nginx ? "server {\nlisten " + at + QByteArray::number(app) + ";\nreturn 200 \"page for $http_x_remote_user $http_x_remote_id\";\n}\n"
                         : "http://" + at + QByteArray::number(app) + " {\n\trespond \"page for {http.request.header.X-Remote-User} {http.request.header.X-Remote-Id}\"\n}\n");
}

// The agent on alice's bcrypt hash (uid u-17), the proxy in front of it.
struct SignIn
{
    explicit SignIn(Kind kind) : proxy(kind)
    {
        const QByteArray hash = output({"htpasswd", "-nbB", "-C", "5", "alice", "Zq9secret"}).trimmed().mid(6);
        error = startOnSqlite(agent, {"create table users(login text, pw text, uid text)",
                                      "insert into users values('alice', '" + hash + "', 'u-17')"},
                              "select uid, pw from users where login = :s1", "uid",
                              {{"sql/password_column", "pw"}, {"sql/timeout", "1"}, {"auth/port", QString::number(freePort())},
                               {"admin/port", QString::number(freePort())}});
        const QByteArray config = sites(kind, port, agent.port("auth/port"), freePort(), &error);
        if (error.isEmpty())
            proxy.start(config, port, &error);
    }
    static QByteArray output(const QStringList &command)
    {
        QProcess p;
        p.start(command.first(), command.mid(1));
        p.waitForFinished();
        return p.readAll();
    }
    Fetched fetch(const QStringList &arguments = {}) const
    {
        const QByteArray out = curl(QStringList {"-D", "-", QString("http://127.0.0.1:%1/page").arg(port)} + arguments);
        const int end = out.indexOf("\r\n\r\n");
        Fetched f {out.mid(9, 3).toInt(), {}, out.mid(end + 4)};
        for (const QByteArray &line : out.left(end).split('\n'))
            if (line.toLower().startsWith("www-authenticate:"))
                f.challenges += line.mid(17).trimmed() + '\n';
        return f;
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
    QTest::addColumn<int>("unavailable"); // the status a browser gets while the database is locked
    QTest::newRow("nginx") << int(Kind::Nginx) << 500; // auth_request makes any other status a 500
    QTest::newRow("caddy") << int(Kind::Caddy) << 503; // forward_auth passes the agent's answer on
}

// The page shows the right user, never anyone else; wrong or no credentials
// get the Basic challenge; a locked database fails closed without asking for
// a password again; 300 requests through the proxy take fewer than 30
// connections to the agent.
void tst_SignIn::behindProxy()
{
    QFETCH(int, kind);
    QFETCH(int, unavailable);
    SignIn rig {Kind(kind)};
    QVERIFY2(rig.error.isEmpty(), qPrintable(rig.error));

    const Fetched right = rig.fetch({"-u", "alice:Zq9secret", "-H", "X-Remote-User: mallory"});
    QCOMPARE(right.status, 200);
    QCOMPARE(right.body, QByteArray("page for alice u-17"));
    for (const QStringList &refused : QList<QStringList> {{"-u", "alice:wrong"}, {"-u", "bob:Zq9secret"}, {}}) {
        const Fetched f = rig.fetch(refused);
        QCOMPARE(f.status, 401);
        QCOMPARE(f.challenges, Challenge + '\n');
        QVERIFY2(!f.body.contains("page for"), f.body.constData());
    }

    const QByteArray codes = curl(QStringList {"-o", "/dev/null", "-w", "%{http_code}\n", "-u", "alice:Zq9secret",
                                   QString("http://127.0.0.1:%1/page?[1-300]").arg(rig.port)});
    QCOMPARE(codes, QByteArray("200\n").repeated(300));
    const int accepted = metricValue(rig.agent.port("admin/port"), "tovr_merk_auth_connections_accepted_total").toInt();
    QVERIFY2(accepted > 0 && accepted < 30, QByteArray::number(accepted).constData());

    SqlSession lock("QSQLITE", [&](QSqlDatabase &db) { db.setDatabaseName(rig.agent.work.filePath("agent.db")); });
    lock.run({"BEGIN EXCLUSIVE"});
    const Fetched locked = rig.fetch({"-u", "alice:Zq9secret"});
    QCOMPARE(locked.status, unavailable);
    QVERIFY2(locked.challenges.isEmpty() && !locked.body.contains("page for"), locked.body.constData());
}

QTEST_MAIN(tst_SignIn)
#include "tst_signin.moc"
