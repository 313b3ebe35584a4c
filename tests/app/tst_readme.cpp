#include "support/agent.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"

#include "app/settings.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtTest>

// Every name the README gives a reader to type or look for exists: the
// repository's files and folders, the Makefile's targets, the settings
// table's keys (each of them with a row in the configuration table), and the
// metrics a running agent serves. Each miss is reported with its line.
class tst_Readme : public QObject
{
    Q_OBJECT

private slots:
    void namesExist_data();
    void namesExist();

private:
    struct Name
    {
        int line;
        QString text;
    };
    // Every match of pattern's first group in the README, with its line; in
    // code only (fenced blocks, code spans) when code is set.
    QVector<Name> find(const QString &pattern, bool code = false) const;
    static QStringList keys();
    QString miss(const Name &name, const QString &why) const
    {
        return QStringLiteral("README.md:%1: %2 %3: %4")
            .arg(name.line)
            .arg(name.text, why, lines.value(name.line - 1).trimmed());
    }
    QStringList missingPaths() const;
    QStringList missingTargets() const;
    QStringList missingKeys() const;
    QStringList missingMetrics() const;

    const QString text = QString::fromUtf8(sourceFile(QStringLiteral("README.md")));
    const QStringList lines = text.split(QLatin1Char('\n'));
};

QVector<tst_Readme::Name> tst_Readme::find(const QString &pattern, bool code) const
{
    static const QRegularExpression span(QStringLiteral("`([^`]+)`"));
    QVector<Name> out;
    bool fenced = false;
    for (int i = 0; i < lines.size(); ++i) {
        fenced = fenced != lines.at(i).startsWith(QLatin1String("```"));
        QStringList texts {lines.at(i)};
        if (code && !fenced) {
            texts.clear();
            for (auto it = span.globalMatch(lines.at(i)); it.hasNext();)
                texts << it.next().captured(1);
        }
        for (const QString &t : qAsConst(texts))
            for (auto it = QRegularExpression(pattern).globalMatch(t); it.hasNext();)
                out << Name {i + 1, it.next().captured(1)};
    }
    return out;
}

QStringList tst_Readme::keys()
{
    QStringList names;
    for (const Settings::Key &key : Settings::table())
        names << key.name;
    return names;
}

// A word that starts with one of the repository's top folders and a slash,
// in code or in a link; a program may be named by its source without ".cpp".
QStringList tst_Readme::missingPaths() const
{
    const QString top = QDir(QStringLiteral(AGENT_SOURCE_DIR))
                            .entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)
                            .filter(QRegularExpression(QStringLiteral("^(?!\\.git$|build)")))
                            .join(QLatin1Char('|'));
    QStringList missing;
    for (const Name &name : find(QStringLiteral("(?<![\\w./~$-])((?:%1)/[\\w./-]*[\\w/])").arg(top))) {
        const QString path = QStringLiteral(AGENT_SOURCE_DIR "/") + name.text;
        if (!QFileInfo::exists(path) && !QFileInfo::exists(path + QLatin1String(".cpp"))
            && !keys().contains(name.text)) // app/key1, cache/ttl
            missing << miss(name, QStringLiteral("is not in the repository"));
    }
    return missing;
}

QStringList tst_Readme::missingTargets() const
{
    const QString makefile = QString::fromUtf8(sourceFile(QStringLiteral("Makefile")));
    QStringList missing;
    for (const Name &name : find(QStringLiteral("(?:^|[\\s;&(])make(?: +(?:-\\S+|\\w+=\\S*))* +([a-z][\\w-]*)"), true)) {
        if (!makefile.contains(QRegularExpression(QStringLiteral("^(\\S+ )*%1( \\S+)*:(?!=)").arg(name.text),
                QRegularExpression::MultilineOption)))
            missing << miss(name, QStringLiteral("is no target of the Makefile"));
    }
    return missing;
}

// Keys named in code ("`sql/timeout`") are the settings table's, and every
// key of the table has a row in the configuration table.
QStringList tst_Readme::missingKeys() const
{
    const QStringList known = keys();
    QStringList sections;
    for (const QString &key : known)
        sections << key.section(QLatin1Char('/'), 0, 0);
    QStringList missing;
    for (const Name &name : find(QStringLiteral("`(\\w+/[a-z0-9_]+)`")))
        if (sections.contains(name.text.section(QLatin1Char('/'), 0, 0)) && !known.contains(name.text))
            missing << miss(name, QStringLiteral("is no key of the settings table"));
    for (const QString &key : known)
        if (!text.contains(QStringLiteral("\n| `%1` |").arg(key)))
            missing << key + QStringLiteral(" has no row in the README's configuration table");
    return missing;
}

// What an agent with every optional family on serves: HTTPS, stored
// passwords, the verdict cache, the throttle. A name cut short ("..._total")
// names nothing.
QStringList tst_Readme::missingMetrics() const
{
    MessageCapture quiet;
    Agent agent;
    const QString certificate = makeCertificate(agent.work.path(), QStringLiteral("ec:prime256v1"));
    if (!certificate.isEmpty())
        return {certificate};
    const quint16 admin = freePort();
    const IniValues optional {{"admin/port", QString::number(admin)}, {"https/port", QString::number(freePort())},
        {"https/certificate", agent.work.filePath("cert.pem")}, {"https/key", agent.work.filePath("key.pem")},
        {"sql/password_column", "pw"}, {"cache/ttl", "60"}, {"http/throttle", "5"}};
    const QString error
        = startOnSqlite(agent, usersTable(), "select uid, pw from users where login=:s1", "uid", optional);
    if (!error.isEmpty())
        return {error};
    const QString served = QString::fromUtf8(exchange(admin, "GET /metrics HTTP/1.0\r\n\r\n"));
    const QStringList programs {QStringLiteral("tovr_merk_agent"), QStringLiteral("tovr_merk_lookup")};
    QStringList missing;
    for (const Name &name : find(QStringLiteral("(?<![\\w/.-])(tovr_merk_[a-z0-9_]+)(?![\\w/]|\\.[A-Za-z])")))
        if (!programs.contains(name.text)
            && !served.contains(QRegularExpression(QStringLiteral("^(# TYPE )?%1(_bucket|_sum|_count)?[{ ]").arg(name.text),
                QRegularExpression::MultilineOption)))
            missing << miss(name, QStringLiteral("is not served on /metrics"));
    for (const Name &name : find(QStringLiteral("((?:\\.\\.\\.|…)_[a-z0-9_]+)")))
        missing << miss(name, QStringLiteral("is a metric name cut short"));
    return missing;
}

void tst_Readme::namesExist_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("repository files and folders") << 0;
    QTest::newRow("make targets") << 1;
    QTest::newRow("settings keys, and a row for each") << 2;
    QTest::newRow("metrics an agent serves") << 3;
}

void tst_Readme::namesExist()
{
    QFETCH(int, kind);
    QVERIFY2(lines.size() > 100, "README.md cannot be read");
    const QStringList missing = kind == 0 ? missingPaths()
        : kind == 1                       ? missingTargets()
        : kind == 2                       ? missingKeys()
                                          : missingMetrics();
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(QLatin1Char('\n'))));
}

QTEST_MAIN(tst_Readme)
#include "tst_readme.moc"
