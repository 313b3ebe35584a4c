#include "listeners.h"
#include "lookup.h"
#include "wiretext.h"
#include "app/eventlog.h"
#include "app/server.h"

#include <QDebug>
#include <QMessageBox>
#include <QPointer>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>

namespace {
// Ends a debug message with a line feed inside it, as the lookup's traces do.
QTextStream &lineEnd(QTextStream &stream)
{
    return stream << '\n';
}
} // namespace

// One lookup at a time, in arrival order. Each one waits for its operator's
// boxes; connections that arrive meanwhile wait in tcpServer's queue instead of
// starting lookups of their own inside those boxes' event loops.
void Server::sendFortune()
{
    beginLookup();
}

void Server::beginLookup()
{
    if (lookupBusy || !tcpServer)
        return;
    QTcpSocket *socket = tcpServer->nextPendingConnection();
    if (!socket)
        return;
    lookupBusy = true;
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);

    if (socket->bytesAvailable() > 0 || socket->state() != QAbstractSocket::ConnectedState) {
        continueLookup(socket);
        return;
    }
    // The client's text comes after its connection: go on at its first bytes,
    // at its end of input, or when the wait is over, whichever is first.
    auto *wait = new QTimer(socket);
    wait->setSingleShot(true);
    const auto resume = [this, socket, wait] {
        wait->stop();
        QObject::disconnect(socket, nullptr, wait, nullptr);
        wait->deleteLater();
        continueLookup(socket);
    };
    connect(socket, &QIODevice::readyRead, wait, resume);
    connect(socket, &QIODevice::readChannelFinished, wait, resume);
    connect(socket, &QAbstractSocket::disconnected, wait, resume);
    connect(wait, &QTimer::timeout, wait, resume);
    wait->start(Lookup::InputWaitMs);
}

void Server::continueLookup(QTcpSocket *socket)
{
    const QString input = Lookup::decodeInput(socket->readAll());
    // The boxes run event loops in which the socket may free itself. Opened
    // from inside one of its signals, they would return into a socket that is
    // gone; so they are opened from the event loop, and the socket is only
    // reached through a guarded pointer.
    const QPointer<QTcpSocket> client(socket);
    QTimer::singleShot(0, this, [this, client, input] { serveLookup(client, input); });
}

void Server::serveLookup(const QPointer<QTcpSocket> &client, const QString &input)
{
    QMessageBox::information(this, Net::boxTitle(), tr("In param: ") + input, QMessageBox::Ok,
                             QMessageBox::NoButton);

    const QString result = runLookup(input);

    if (client) {
        if (client->state() == QAbstractSocket::ConnectedState) {
            client->write(Lookup::encodeReply(result));
            client->disconnectFromHost();
        } else {
            // Gone before its reply, possibly before deleteLater was wired to it.
            client->deleteLater();
        }
    }
    finishLookup();
}

// Runs the statement with the input bound, narrates it and shows the outcome;
// the result column of the last row, or "none".
QString Server::runLookup(const QString &input)
{
    const Lookup::BoundStatement statement = Lookup::bindInput(sqlQuery);
    QVariantMap bindings;
    for (const QString &name : statement.placeholders)
        bindings.insert(name, input);
    QSqlQuery query;
    const bool ok = statement.placeholders.isEmpty()
                        ? execWithRecovery(query, false, sqlQuery)
                        : execWithRecovery(query, true, statement.text, bindings);

    if (!ok) {
        qDebug() << "[e] q.le=" << query.lastError().text();
        qDebug() << timeStamp() << "[e] Unable to execute test query: " << sqlQuery << lineEnd;
        qDebug() << timeStamp() << "[e] query.lastError=" << query.lastError().text() << lineEnd;
        const QString error = query.lastError().text();
        query.finish();
        QMessageBox::critical(this, Net::boxTitle(),
                              tr("Unable to execute query: %1\nquery.lastError=%2").arg(sqlQuery, error),
                              QMessageBox::Ok, QMessageBox::NoButton);
        return Net::NoResult;
    }

    QString result = Net::NoResult;
    const QSqlRecord record = query.record();
    while (query.next()) {
        // A column that is not there gives a null string, which the reply keeps apart from "".
        const int column = record.indexOf(sqlRetParam);
        result = column < 0 ? QString() : query.value(column).toString();
        for (int i = 0; i < record.count(); ++i)
            qDebug() << i << ":" << record.fieldName(i) << "=" << query.value(i).toString() << lineEnd;
    }
    query.finish(); // no statement stays open while the operator reads the box
    QMessageBox::information(this, Net::boxTitle(), tr("Return param: ") + result, QMessageBox::Ok,
                             QMessageBox::NoButton);
    return result;
}

void Server::finishLookup()
{
    lookupBusy = false;
    // Taken from the event loop, not from here, so a long queue never deepens the stack.
    if (tcpServer && tcpServer->hasPendingConnections())
        QTimer::singleShot(0, this, &Server::beginLookup);
}
