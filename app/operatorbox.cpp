#include "operatorbox.h"

#include <QCoreApplication>
#include <QDebug>

namespace Operator {

QString boxTitle()
{
    return QCoreApplication::translate("Server", "TOVR/MERK SQL Agent (checker)");
}

void sayBox(QMessageBox::Icon icon, const QString &text)
{
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    line = QStringLiteral("[box] ") + boxTitle() + QStringLiteral(": ") + line;
    if (icon == QMessageBox::Critical)
        qWarning().noquote() << line;
    else
        qDebug().noquote() << line;
}

void showBox(QWidget *parent, QMessageBox::Icon icon, const QString &text)
{
    sayBox(icon, text);
    if (icon == QMessageBox::Critical)
        QMessageBox::critical(parent, boxTitle(), text, QMessageBox::Ok, QMessageBox::NoButton);
    else
        QMessageBox::information(parent, boxTitle(), text, QMessageBox::Ok, QMessageBox::NoButton);
}

void Boxes::show(LookupQueue::Notice notice, const QString &text)
{
    showBox(m_parent,
        notice == LookupQueue::Notice::Failure ? QMessageBox::Critical : QMessageBox::Information, text);
}

} // namespace Operator
