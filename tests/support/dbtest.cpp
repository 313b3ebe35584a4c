#include "dbtest.h"

#include <QDebug>
#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

const QString CheckQuery = QStringLiteral(
    "SELECT id AS USER_ID, note FROM users WHERE login = :s1 AND pass = :s2 ORDER BY id");

const QStringList UsersSchema = {
    QStringLiteral("CREATE TABLE users (id INTEGER, login TEXT, pass TEXT, note TEXT)"),
    QStringLiteral("INSERT INTO users VALUES (1, 'alice', 'wonderland', 'first')"),
    QStringLiteral("INSERT INTO users VALUES (2, 'bob', 'builder', NULL)"),
    QStringLiteral("INSERT INTO users VALUES (3, 'twin', 'same', 'a')"),
    QStringLiteral("INSERT INTO users VALUES (4, 'twin', 'same', 'b')"),
    QStringLiteral("INSERT INTO users VALUES (5, 'Иван', 'пароль', 'cyr')"),
};

void addCheckUserColumns()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("retParam");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("shownUser");
    QTest::addColumn<QStringList>("columnLines");
}

void verifyCheckUserRow(ServerInspector s)
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, retParam);
    QFETCH(QString, expected);
    QFETCH(QString, shownUser);
    QFETCH(QStringList, columnLines);

    MessageCapture capture;
    QCOMPARE(s.checkUser(user, password), expected);

    const QStringList panel = s.panelLines();
    QCOMPARE(panel.mid(9), QStringList({QStringLiteral("q: ") + CheckQuery, QStringLiteral("s1: ") + shownUser,
                                        QStringLiteral("s2: ********")})
                               + columnLines);
    // Q1, Q2, then one R1 per "i: " line: index, name and value of the same column.
    QStringList debug{QStringLiteral("[d] q.q= ") + debugQuoted(CheckQuery),
                      QStringLiteral("[d] q.w= ") + debugQuoted(retParam)};
    for (int k = 0; k < columnLines.size(); ++k) {
        const QString item = columnLines.at(k).mid(3);
        const int eq = item.indexOf(QLatin1Char('='));
        debug << QStringLiteral("%1 : %2 = %3")
                     .arg(k % 2)
                     .arg(debugQuoted(item.left(eq)), debugQuoted(item.mid(eq + 1)));
    }
    QCOMPARE(capture.debug(), debug);
    QVERIFY(capture.warnings().isEmpty());
    QCOMPARE(userCount(s.db()), UsersSchema.size() - 1);
}

int userCount(const QSqlDatabase &db)
{
    QSqlQuery count(db);
    if (!count.exec(QStringLiteral("SELECT count(*) FROM users")) || !count.next())
        return -1;
    return count.value(0).toInt();
}

void AgentRun::start(const QByteArray &ini)
{
    work.writeIni(ini);
    server = std::make_unique<Server>();
}

QStringList AgentRun::log() const
{
    return logMessages(work.readFile(QStringLiteral("debug-log.txt")));
}

QStringList logMessages(const QByteArray &logFile)
{
    static const QRegularExpression stamp(
        QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d "));
    QStringList out;
    const QStringList lines = QString::fromUtf8(logFile).split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (i == lines.size() - 1 && line.isEmpty())
            break; // after the last line feed
        const QRegularExpressionMatch m = stamp.match(line);
        if (m.hasMatch())
            out << line.mid(m.capturedLength());
        else if (out.isEmpty())
            out << QStringLiteral("<no stamp>");
        else
            out.last() += QLatin1Char('\n') + line; // a message with line feeds inside
    }
    return out;
}

QString debugQuoted(const QString &text)
{
    QString out;
    QDebug(&out).nospace() << text;
    return out;
}

QStringList linesAfter(const QStringList &panel, const QString &line)
{
    const int at = panel.indexOf(line);
    return at < 0 ? QStringList() : panel.mid(at + 1);
}

QByteArray readmeIni(const QString &driver)
{
    QFile readme(QStringLiteral(AGENT_SOURCE_DIR "/README.md"));
    if (!readme.open(QIODevice::ReadOnly))
        return QByteArray();
    const QString text = QString::fromUtf8(readme.readAll());
    const int section = text.indexOf(QLatin1String("\n## Database\n"));
    if (section < 0)
        return QByteArray();
    const int sectionEnd = text.indexOf(QLatin1String("\n## "), section + 1);
    const QString body = text.mid(section, sectionEnd < 0 ? -1 : sectionEnd - section);
    static const QRegularExpression block(QStringLiteral("```ini\n(.*?)```"),
                                          QRegularExpression::DotMatchesEverythingOption);
    auto it = block.globalMatch(body);
    while (it.hasNext()) {
        const QString ini = it.next().captured(1);
        if (ini.contains(QStringLiteral("\ntype=") + driver + QLatin1Char('\n')))
            return ini.toUtf8();
    }
    return QByteArray();
}

QByteArray withIniValues(const QByteArray &ini, const IniValues &values)
{
    IniValues missing = values;
    QStringList out;
    QString section;
    const QStringList lines = QString::fromUtf8(ini).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            section = line.mid(1, line.size() - 2);
        } else if (line.contains(QLatin1Char('='))) {
            const QString key = section + QLatin1Char('/') + line.left(line.indexOf(QLatin1Char('=')));
            if (missing.contains(key)) {
                out << line.left(line.indexOf(QLatin1Char('=')) + 1) + missing.take(key);
                continue;
            }
        }
        out << line;
    }
    return out.join(QLatin1Char('\n')).toUtf8() + '\n' + iniText(missing);
}

QString sqliteRun(const QString &path, const QStringList &statements)
{
    static int counter = 0;
    const QString name = QStringLiteral("sqlite-fixture-%1").arg(++counter);
    QString error;
    {
        QSqlDatabase fixture = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        fixture.setDatabaseName(path);
        if (!fixture.open())
            error = fixture.lastError().text();
        for (const QString &statement : statements) {
            if (!error.isEmpty())
                break;
            QSqlQuery q(fixture);
            if (!q.exec(statement))
                error = statement + QStringLiteral(": ") + q.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return error;
}
