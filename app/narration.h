#ifndef NARRATION_H
#define NARRATION_H

#include <QString>

#include <functional>

class PanelFeed;
struct StatementResult;

// What the credential check and the parameter lookup tell the debug output and
// the log panel about their statement. Composed here alone, from the
// statement's plain result, whichever executor ran it, so one check's lines
// always come in the same order.
namespace Narration {

// A result with many rows is narrated this long at a time, the rest from the
// event loop, so the dialog keeps serving while a million rows are told.
constexpr int SliceMs = 5;

enum class Service { Check, Lookup };

// Before a check runs: Q1 and Q2 on the debug output; "q: ", "s1: " (the name's
// display form) and "s2: " (masked) on the panel.
void checkSubmitted(
    const QString &statement, const QString &retParam, const QString &userName, PanelFeed &panel);

// After a statement ran: a reopen of the connection on the panel; then, when
// it failed, E1 to E3 (a check adds the panel's "ERR: " line after E1), else
// one R1 per column of every row (a check adds an "i: " panel line each). The
// lookup's E2, E3 and R1 end with a line feed of their own. Last, when failing
// fast started or ended with this result, one line saying so on both. Then
// calls then: at once, or, for a result too long for one slice, later.
void statementFinished(Service service, const StatementResult &result, const QString &statement,
    const QString &databaseName, PanelFeed &panel, std::function<void()> then);

} // namespace Narration

#endif // NARRATION_H
