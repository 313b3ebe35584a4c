#include "lookupqueue.h"
#include "wiretext.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {
// The boxes' texts belong to the dialog's translation context.
QString dialogText(const char *text)
{
    return QCoreApplication::translate("Server", text);
}
} // namespace

LookupQueue::LookupQueue(Screen &screen, Looker &looker, const Lookup::Limits &limits, QObject *parent)
    : QObject(parent), m_screen(screen), m_looker(looker), m_limits(limits)
{ }

void LookupQueue::attach(QTcpServer *listener)
{
    m_listener = listener;
    // Lookups run one at a time; the rest wait here instead of being refused.
    listener->setMaxPendingConnections(m_limits.maxPendingConnections);
}

void LookupQueue::takeNext()
{
    if (m_state != State::Idle || !m_listener)
        return;
    QTcpSocket *socket = m_listener->nextPendingConnection();
    if (!socket)
        return;
    m_client = socket;
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);

    if (socket->bytesAvailable() > 0 || socket->state() != QAbstractSocket::ConnectedState) {
        inputArrived();
        return;
    }
    // The client's text comes after its connection: go on at its first bytes,
    // at its end of input, or when the wait is over, whichever is first.
    m_state = State::WaitingForInput;
    m_inputWait = new QTimer(socket);
    m_inputWait->setSingleShot(true);
    connect(socket, &QIODevice::readyRead, m_inputWait, [this] { inputArrived(); });
    connect(socket, &QIODevice::readChannelFinished, m_inputWait, [this] { inputArrived(); });
    connect(socket, &QAbstractSocket::disconnected, m_inputWait, [this] { inputArrived(); });
    connect(m_inputWait, &QTimer::timeout, this, &LookupQueue::inputArrived);
    m_inputWait->start(m_limits.inputWaitMs);
}

void LookupQueue::inputArrived()
{
    if (m_inputWait) {
        m_inputWait->stop();
        QObject::disconnect(m_client, nullptr, m_inputWait, nullptr);
        m_inputWait->deleteLater();
        m_inputWait = nullptr;
    }
    m_input = m_client ? Lookup::decodeInput(m_client->readAll()) : Lookup::decodeInput(QByteArray());
    m_state = State::FirstBox;
    // Opened from inside one of the socket's signals, the box would return
    // into a socket that may be gone; so it is opened from the event loop.
    QTimer::singleShot(0, this, &LookupQueue::showInput);
}

void LookupQueue::showInput()
{
    m_screen.show(Notice::Information, dialogText("In param: ") + m_input);
    m_state = State::Statement;
    m_looker.lookup(m_input, [this](const Outcome &outcome) { showOutcome(outcome); });
}

void LookupQueue::showOutcome(const Outcome &outcome)
{
    m_state = State::SecondBox;
    m_failed = !outcome.ok;
    if (outcome.ok) {
        m_screen.show(Notice::Information, dialogText("Return param: ") + outcome.result);
    } else {
        m_screen.show(Notice::Failure,
            dialogText("Unable to execute query: %1\nquery.lastError=%2")
                .arg(outcome.statement, outcome.error));
    }
    reply(outcome.ok ? outcome.result : Net::NoResult);
}

void LookupQueue::reply(const QString &result)
{
    m_state = State::Reply;
    if (m_client) {
        if (m_client->state() == QAbstractSocket::ConnectedState) {
            m_client->write(Lookup::encodeReply(result));
            m_client->disconnectFromHost();
            ++(m_failed ? m_counters.failed : m_counters.replied);
        } else {
            ++m_counters.clientGone;
            // Gone before its reply, possibly before deleteLater was wired to it.
            m_client->deleteLater();
        }
    } else {
        ++m_counters.clientGone;
    }
    m_client = nullptr;
    m_state = State::Idle;
    // Taken from the event loop, not from here, so a long queue never deepens the stack.
    if (m_listener && m_listener->hasPendingConnections())
        QTimer::singleShot(0, this, &LookupQueue::takeNext);
}
