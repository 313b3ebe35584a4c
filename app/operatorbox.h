#ifndef OPERATORBOX_H
#define OPERATORBOX_H

#include "net/lookupqueue.h"

#include <QMessageBox>
#include <QString>

class QWidget;

namespace Operator {

// Title of every message box the agent shows.
QString boxTitle();

// Shows a modal box with the agent's title, its text and one OK button, and
// waits until it is dismissed. Nobody may be at the screen (a service runs
// offscreen), so the title and the text first go to the debug output as one
// line: "[box] <title>: <text>", line feeds turned into blanks.
void showBox(QWidget *parent, QMessageBox::Icon icon, const QString &text);
// Only that line, for a box nobody could answer; a critical one is a warning.
void sayBox(QMessageBox::Icon icon, const QString &text);

// What the parameter lookup tells the operator, as boxes over parent.
class Boxes : public LookupQueue::Screen
{
public:
    explicit Boxes(QWidget *parent) : m_parent(parent) { }
    void show(LookupQueue::Notice notice, const QString &text) override;

private:
    QWidget *m_parent;
};

} // namespace Operator

#endif // OPERATORBOX_H
