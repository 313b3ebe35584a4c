#ifndef DBTEST_H
#define DBTEST_H

#include "serveraccess.h"
#include "testsupport.h"

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <memory>

// Helpers shared by the database tests.

// The credential statement the tests configure, and the table it reads:
// plain SQL that SQLite and PostgreSQL both run.
extern const QString CheckQuery;
extern const QStringList UsersSchema;

// The columns of the credential-check rows: user, password, retParam,
// expected result, shownUser (the "s1: " text) and columnLines (the "i: " lines).
void addCheckUserColumns();

// Runs one row of those columns through the agent's checkUser and checks the
// result, the panel lines, the debug lines (Q1, Q2, one R1 per column of
// every row of the two-column statement) and that the table is unchanged.
void verifyCheckUserRow(ServerInspector s);

// Rows in the users table, or -1 when it cannot be read.
int userCount(const QSqlDatabase &db);

// One agent in its own working directory; the Server dies before the
// directory does.
struct AgentRun
{
    WorkDir work;
    BoxDismisser boxes;
    std::unique_ptr<Server> server;

    void start(const IniValues &values) { start(iniText(values)); }
    void start(const QByteArray &ini);
    ServerInspector inspect() const { return ServerInspector(*server); }
    QStringList log() const;
};

// The messages of a log file, time stamps checked and removed. A message that
// carries line feeds (a driver's error text) stays one entry. A line that does
// not start with a time stamp where one is due is returned as "<no stamp>".
QStringList logMessages(const QByteArray &logFile);

// How qDebug() prints a QString: quoted and escaped.
QString debugQuoted(const QString &text);

// The panel lines that follow the first line equal to `line` (none if absent).
QStringList linesAfter(const QStringList &panel, const QString &line);

// The INI example of the README's "## Database" section whose text holds
// "type=<driver>", or an empty array when there is none.
QByteArray readmeIni(const QString &driver);

// The INI text with the given "section/name" keys set: existing lines are
// rewritten in place, missing keys are appended in sections of their own.
QByteArray withIniValues(const QByteArray &ini, const IniValues &values);

// Runs the statements on the SQLite file at path through a connection of its
// own. Returns the first error text, or an empty string.
QString sqliteRun(const QString &path, const QStringList &statements);

#endif // DBTEST_H
