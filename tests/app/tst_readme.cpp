#include "support/agent.h"
#include "support/sqlfixture.h"
#include "support/wireclient.h"

#include "app/settings.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QtTest>

// Every name the README gives a reader to type or look for exists: the
// repository's files and folders, the Makefile's targets, the settings
// table's keys (each of them in the configuration table, too), and the
// metrics a running agent serves. Each missing name is reported with its line.

namespace {

struct Mention
{
    int line; // 1-based
    QString text;
};

struct Readme
{
    Readme()
    {
        lines = QString::fromUtf8(sourceFile(QStringLiteral("README.md"))).split(QLatin1Char('\n'));
        QStringList prose; // fenced blocks blanked: their backticks open no code span
        QString language;
        QString block;
        bool fenced = false;
        for (int i = 0; i < lines.size(); ++i) {
            const QString &line = lines.at(i);
            if (line.startsWith(QLatin1String("```"))) {
                if (fenced && language == QLatin1String("ini"))
                    iniBlocks << Mention {i - block.count(QLatin1Char('\n')) + 1, block};
                fenced = !fenced;
                language = line.mid(3).trimmed();
                block.clear();
            } else if (fenced) {
                fencedLines << Mention {i + 1, line};
                block += line + QLatin1Char('\n');
            }
            prose << (fenced || line.startsWith(QLatin1String("```")) ? QString() : line);
        }
        const QString text = prose.join(QLatin1Char('\n'));
        auto collect = [&](const char *pattern, QVector<Mention> *into) {
            for (auto it = QRegularExpression(QLatin1String(pattern)).globalMatch(text); it.hasNext();) {
                const QRegularExpressionMatch m = it.next();
                *into << Mention {
                    int(text.leftRef(m.capturedStart()).count(QLatin1Char('\n'))) + 1, m.captured(1)};
            }
        };
        collect("`([^`]+)`", &spans);
        collect("\\]\\(([^)#\\s]+)\\)", &links);
    }
    QString missing(int line, const QString &name, const QString &why) const
    {
        return QStringLiteral("README.md:%1: %2 %3\n        %4")
            .arg(line)
            .arg(name, why, lines.value(line - 1).trimmed());
    }

    QStringList lines;
    QVector<Mention> spans, links, fencedLines, iniBlocks;
};

// The words of a text as a shell or an INI line splits them; URLs left out.
QVector<Mention> words(const QVector<Mention> &texts)
{
    static const QRegularExpression delimiters(QStringLiteral("[\\s=;,\"'()<>|{}\\[\\]`]+"));
    QVector<Mention> out;
    for (const Mention &m : texts)
        for (const QString &word :
            m.text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts))
            if (!word.contains(QLatin1String("://")))
                for (const QString &part : word.split(delimiters, Qt::SkipEmptyParts))
                    out << Mention {m.line, part};
    return out;
}

QStringList settingsKeys()
{
    QStringList keys;
    for (const Settings::Key &key : Settings::table())
        keys << key.name;
    return keys;
}

// "section/name" of a section the settings table has.
bool looksLikeIniKey(const QString &word)
{
    static const QRegularExpression shape(QStringLiteral("^([a-z]+)/[a-z0-9_]+$"));
    const QRegularExpressionMatch m = shape.match(word);
    return m.hasMatch()
        && !settingsKeys().filter(QRegularExpression(QLatin1Char('^') + m.captured(1) + '/')).isEmpty();
}

QString source(const QString &path)
{
    return QStringLiteral(AGENT_SOURCE_DIR "/") + path;
}

// The repository's top-level folders: those of the source tree that are not
// .git and that .gitignore does not ignore (the build trees).
QStringList topFolders()
{
    QStringList ignored;
    for (const QByteArray &line : sourceFile(QStringLiteral(".gitignore")).split('\n'))
        if (line.startsWith('/') && line.endsWith('/'))
            ignored << QString::fromUtf8(line.mid(1, line.size() - 2));
    QStringList folders;
    for (const QString &name :
        QDir(source(QString())).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot))
        if (name != QLatin1String(".git") && !QDir::match(ignored, name))
            folders << name;
    return folders;
}

// Extensions the repository's files use: ".cpp" in a README is one, not a file.
QSet<QString> extensions(const QStringList &folders)
{
    QSet<QString> out;
    for (const QString &folder : folders)
        for (QDirIterator it(source(folder), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
             it.hasNext();)
            if (const QString suffix = QFileInfo(it.next()).suffix(); !suffix.isEmpty())
                out << QLatin1Char('.') + suffix;
    return out;
}

QStringList missingPaths(const Readme &readme)
{
    const QStringList folders = topFolders();
    const QSet<QString> exts = extensions(folders);
    static const QRegularExpression topFile(
        QStringLiteral("^(\\.[A-Za-z][\\w.-]*|[A-Z][\\w-]*\\.[a-z]+|Makefile)$"));
    QStringList missing;
    for (const Mention &w : words(readme.spans + readme.fencedLines + readme.links)) {
        QString path = w.text;
        while (path.endsWith(QLatin1Char('.')) || path.endsWith(QLatin1Char(':')))
            path.chop(1);
        const bool inFolder
            = path.contains(QLatin1Char('/')) && folders.contains(path.section(QLatin1Char('/'), 0, 0));
        // A top-level file stands as a word of its own, not as ".join" in "b''.join(x)".
        const bool atTop = topFile.match(path).hasMatch() && !exts.contains(path)
            && readme.lines.value(w.line - 1)
                   .contains(QRegularExpression(QStringLiteral("(^|[\\s`(])")
                       + QRegularExpression::escape(path) + QStringLiteral("($|[\\s`).,:;])")));
        if (looksLikeIniKey(path) || path.contains(QLatin1Char('*')) || !(inFolder || atTop))
            continue;
        // A program is named by its source's path without the extension.
        if (!QFileInfo::exists(source(path)) && !QFileInfo::exists(source(path + QLatin1String(".cpp"))))
            missing << readme.missing(w.line, path, QStringLiteral("is not in the repository"));
    }
    return missing;
}

QStringList missingMakeTargets(const Readme &readme)
{
    QStringList targets;
    static const QRegularExpression rule(
        QStringLiteral("^([A-Za-z][\\w-]*(?:[ \\t]+[A-Za-z][\\w-]*)*)[ \\t]*:(?!=)"),
        QRegularExpression::MultilineOption);
    for (auto it = rule.globalMatch(QString::fromUtf8(sourceFile(QStringLiteral("Makefile")))); it.hasNext();)
        targets << it.next().captured(1).split(QRegularExpression(QStringLiteral("\\s+")));
    static const QRegularExpression make(
        QStringLiteral("(?:^|[\\s;&|(])make(?:\\s+(?:-\\S+|\\w+=\\S*))*\\s+([a-z][\\w-]*)"));
    static const QRegularExpression comment(QStringLiteral("(^|\\s)#.*$"));
    QStringList missing;
    for (const Mention &m : readme.spans + readme.fencedLines)
        for (auto it = make.globalMatch(QString(m.text).remove(comment)); it.hasNext();)
            if (const QString target = it.next().captured(1); !targets.contains(target))
                missing << readme.missing(
                    m.line, QStringLiteral("make ") + target, QStringLiteral("is no target of the Makefile"));
    return missing;
}

QStringList unknownIniKeys(const Readme &readme)
{
    const QStringList known = settingsKeys();
    QStringList missing;
    for (const Mention &w : words(readme.spans))
        if (looksLikeIniKey(w.text) && !known.contains(w.text))
            missing << readme.missing(w.line, w.text, QStringLiteral("is no key of Settings::table()"));
    // The INI examples, read as the agent reads its INI.
    for (const Mention &block : readme.iniBlocks) {
        WorkDir work;
        work.writeIni(block.text.toUtf8());
        const QStringList blockLines = block.text.split(QLatin1Char('\n'));
        for (const QString &key : QSettings(Settings::IniPath, QSettings::IniFormat).allKeys())
            if (!known.contains(key)) {
                const QRegularExpression assignment('^' + key.section('/', -1) + QLatin1String("\\s*=.*"));
                missing << readme.missing(block.line + qMax(0, blockLines.indexOf(assignment)), key,
                    QStringLiteral("(a key of an INI example) is no key of Settings::table()"));
            }
    }
    return missing;
}

QStringList undocumentedKeys(const Readme &readme)
{
    QSet<QString> rows; // the first cells of the tables under "## Configuration"
    const int start = readme.lines.indexOf(QRegularExpression(QStringLiteral("^## Configuration\\b.*")));
    for (int i = start + 1;
         start >= 0 && i < readme.lines.size() && !readme.lines.at(i).startsWith(QLatin1String("## ")); ++i)
        if (readme.lines.at(i).startsWith(QLatin1String("| `")))
            rows << readme.lines.at(i).section(QLatin1Char('`'), 1, 1);
    QStringList missing;
    for (const QString &key : settingsKeys())
        if (!rows.contains(key))
            missing << key
                    + QStringLiteral(" (Settings::table()) has no row in the README's configuration table");
    return missing;
}

// The names in the metrics an agent serves with every optional family on:
// HTTPS, stored passwords, the verdict cache and the throttle.
QSet<QString> servedMetrics(QSet<QString> *families, QString *error)
{
    Agent agent;
    *error = makeCertificate(agent.work.path(), QStringLiteral("ec:prime256v1"));
    const quint16 admin = freePort();
    const IniValues optional {{QStringLiteral("admin/port"), QString::number(admin)},
        {QStringLiteral("https/port"), QString::number(freePort())},
        {QStringLiteral("https/certificate"), agent.work.filePath(QStringLiteral("cert.pem"))},
        {QStringLiteral("https/key"), agent.work.filePath(QStringLiteral("key.pem"))},
        {QStringLiteral("sql/password_column"), QStringLiteral("pw")},
        {QStringLiteral("cache/ttl"), QStringLiteral("60")},
        {QStringLiteral("http/throttle"), QStringLiteral("5")}};
    if (error->isEmpty())
        *error = startOnSqlite(agent, usersTable(),
            QStringLiteral("select uid, pw from users where login=:s1"), QStringLiteral("uid"), optional);
    if (!error->isEmpty())
        return {};
    const QByteArray text = exchange(admin, "GET /metrics HTTP/1.0\r\n\r\n");
    QSet<QString> names;
    static const QRegularExpression name(
        QStringLiteral("^(?:# TYPE )?(tovr_merk_\\w+)"), QRegularExpression::MultilineOption);
    for (auto it = name.globalMatch(QString::fromUtf8(text)); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        names << m.captured(1);
        if (m.captured().startsWith(QLatin1Char('#')))
            *families << m.captured(1);
    }
    if (names.isEmpty())
        *error = QStringLiteral("/metrics served no metric: ") + QString::fromUtf8(text);
    return names;
}

// Each "tovr_merk_..." the README names that is not a program's name: a
// metric. An abbreviated one ("..._total") is reported as such.
QVector<Mention> readmeMetrics(const Readme &readme, QStringList *missing)
{
    const QStringList programs {QFileInfo(QStringLiteral(AGENT_PATH)).fileName(),
        QFileInfo(QStringLiteral(LOOKUP_CLIENT_PATH)).fileName()};
    static const QRegularExpression metric(
        QStringLiteral("(?<![\\w/.-])tovr_merk_[a-z0-9_]+(?![\\w/]|\\.[A-Za-z])"));
    static const QRegularExpression abbreviated(QStringLiteral("(?:\\.\\.\\.|…)_[a-z0-9_]+"));
    QVector<Mention> out;
    for (int i = 0; i < readme.lines.size(); ++i) {
        for (auto it = metric.globalMatch(readme.lines.at(i)); it.hasNext();)
            if (const QString name = it.next().captured(); !programs.contains(name))
                out << Mention {i + 1, name};
        for (auto it = abbreviated.globalMatch(readme.lines.at(i)); it.hasNext();)
            *missing << readme.missing(
                i + 1, it.next().captured(), QStringLiteral("is an abbreviated metric name"));
    }
    return out;
}

// The README's metric names the agent does not serve, and abbreviated ones;
// or, with servedSide, the families the agent serves that the README never names.
QStringList metricMismatches(const Readme &readme, bool servedSide)
{
    MessageCapture quiet;
    QString error;
    QSet<QString> families;
    const QSet<QString> served = servedMetrics(&families, &error);
    if (!error.isEmpty())
        return {error};
    QStringList missing;
    for (const Mention &m : readmeMetrics(readme, &missing)) {
        families.remove(m.text);
        if (!served.contains(m.text))
            missing << readme.missing(m.line, m.text, QStringLiteral("is not served on /metrics"));
    }
    if (!servedSide)
        return missing;
    QStringList unnamed;
    for (const QString &family : families)
        unnamed << family + QStringLiteral(" is served on /metrics, and the README names it nowhere");
    return unnamed;
}

enum class Kind { RepositoryPath, MakeTarget, IniKey, TableKey, Metric, ServedMetric };

} // namespace

class tst_Readme : public QObject
{
    Q_OBJECT

private slots:
    void namesExist_data();
    void namesExist();
};

void tst_Readme::namesExist_data()
{
    QTest::addColumn<int>("kind");
#define ROW(tag, kind) QTest::newRow(tag) << int(kind)
    ROW("repository files and folders exist",   Kind::RepositoryPath);
    ROW("make targets are the Makefile's",      Kind::MakeTarget);
    ROW("INI keys are the settings table's",    Kind::IniKey);
    ROW("settings table keys have a table row", Kind::TableKey);
    ROW("metric names are served by an agent",  Kind::Metric);
    ROW("served metrics are named",             Kind::ServedMetric);
#undef ROW
}

void tst_Readme::namesExist()
{
    QFETCH(int, kind);
    const Readme readme;
    QVERIFY2(readme.lines.size() > 100, "README.md cannot be read");
    QStringList missing;
    switch (Kind(kind)) {
    case Kind::RepositoryPath:
        missing = missingPaths(readme);
        break;
    case Kind::MakeTarget:
        missing = missingMakeTargets(readme);
        break;
    case Kind::IniKey:
        missing = unknownIniKeys(readme);
        break;
    case Kind::TableKey:
        missing = undocumentedKeys(readme);
        break;
    case Kind::Metric:
        missing = metricMismatches(readme, false);
        break;
    case Kind::ServedMetric:
        missing = metricMismatches(readme, true);
        break;
    }
    for (const QString &name : missing)
        qWarning().noquote() << name;
    QVERIFY2(missing.isEmpty(),
        qPrintable(QString::number(missing.size()) + QStringLiteral(" names above are missing")));
}

QTEST_MAIN(tst_Readme)
#include "tst_readme.moc"
