#include "checkgate.h"
#include "wiretext.h"

#include <QDebug>
#include <QElapsedTimer>

#include <memory>

namespace {

// The client's user name in a line of the log, quoted and escaped as the debug stream quotes: a line feed
// or a quote in it can neither end the line nor pass for the line's own words.
QString quoted(const QString &text)
{
    QString out;
    QDebug(&out).nospace() << text;
    return out;
}

} // namespace

CheckGate::CheckGate(Checker &checker, const Throttle::Limits &names, QObject *parent)
    : QObject(parent), m_checker(checker), m_throttle(names), m_clientThrottle(Throttle::Limits())
{ }

void CheckGate::setClientThrottle(const Throttle::Limits &limits, const Net::AddressBlocks &exempt)
{
    m_clientThrottle.setLimits(limits);
    m_throttleExempt = exempt;
}

void CheckGate::run(
    const QString &userName, const QString &password, const ConnectionSet::Origin &origin, Done done)
{
    QElapsedTimer waited;
    waited.start();
    throttleThen(userName, password, origin, done, waited);
}

void CheckGate::throttleThen(const QString &userName, const QString &password,
    const ConnectionSet::Origin &origin, const Done &done, QElapsedTimer waited)
{
    using Throttle::Turn;
    const QString clientKey
        = m_throttleExempt.contains(origin.client) ? QString() : Net::clientKey(origin.client);
    m_throttle.submit(userName, [=](Turn nameTurn) {
        if (nameTurn == Turn::Refused)
            return refuse(origin, userName, done);
        if (clientKey.isEmpty() || !m_clientThrottle.isOn())
            return checkNow(userName, password, origin, nameTurn, QString(), Turn::Free, done);
        // What the check holds of its name's turns. Waiting for its address, it gives an at-once turn back:
        // it does not count as one of its name's checks under way, or an address held up would hold up that
        // name's checks from everywhere else. When its address lets it run, it takes one again, or goes back
        // through both throttles if the name has no room for it now.
        struct Pass
        {
            Turn name;
            bool givenBack = false;
            bool started = false;
        };
        const auto pass = std::make_shared<Pass>(Pass {nameTurn});
        m_clientThrottle.submit(
            clientKey,
            [=](Turn clientTurn) {
                pass->started = true;
                if (clientTurn == Turn::Refused) {
                    m_throttle.release(userName, pass->name);
                    return refuse(origin, userName, done);
                }
                if (pass->givenBack && (pass->name = m_throttle.turnNow(userName)) == Turn::Refused) {
                    m_clientThrottle.release(clientKey, clientTurn);
                    return throttleThen(userName, password, origin, done, waited);
                }
                checkNow(userName, password, origin, pass->name, clientKey, clientTurn, done);
            },
            int(waited.elapsed()));
        if (!pass->started && nameTurn == Turn::AtOnce) {
            *pass = {Turn::Free, true, false};
            m_throttle.release(userName, Turn::AtOnce);
        }
    });
}

void CheckGate::refuse(const ConnectionSet::Origin &origin, const QString &userName, const Done &done)
{
    Http::Verdict none;
    done(none, true);
    refused(origin, Decision::Source::Throttle, userName);
}

void CheckGate::checkNow(const QString &userName, const QString &password,
    const ConnectionSet::Origin &origin, Throttle::Turn nameTurn, const QString &clientKey,
    Throttle::Turn clientTurn, const Done &done)
{
    m_checker.check(userName, password, [=](const Http::Verdict &checked) {
        Http::Verdict verdict = checked;
        done(verdict, false);
        decide(origin, userName, verdict);
        // An answer the database could not give says nothing about the password.
        const auto settle = [&](CheckThrottle &throttle, const QString &key, Throttle::Turn turn) {
            if (verdict.unavailable)
                throttle.release(key, turn);
            else
                throttle.finished(key, verdict.result == Net::NoResult, turn);
        };
        settle(m_throttle, userName, nameTurn);
        if (!clientKey.isEmpty())
            settle(m_clientThrottle, clientKey, clientTurn);
    });
}

void CheckGate::decide(
    const ConnectionSet::Origin &origin, const QString &userName, const Http::Verdict &verdict)
{
    if (!verdict.failure.isEmpty())
        qWarning().noquote() << QStringLiteral("[e] check from %1 on %2 for %3: %4")
                                    .arg(origin.client.toString(), origin.listener, quoted(userName),
                                        verdict.failure);
    if (!m_decided)
        return;
    const Decision::Verdict kind = verdict.unavailable ? Decision::Verdict::Unavailable
        : verdict.result == Net::NoResult              ? Decision::Verdict::NotFound
                                                       : Decision::Verdict::Exist;
    const Decision::Source source = verdict.source == Http::Verdict::Source::Cache ? Decision::Source::Cache
        : verdict.source == Http::Verdict::Source::Stale                           ? Decision::Source::Stale
                                                         : Decision::Source::Database;
    m_decided(
        {origin, userName, kind, source, kind == Decision::Verdict::Exist ? verdict.result : QString()});
}

void CheckGate::refused(const ConnectionSet::Origin &origin, Decision::Source why, const QString &userName)
{
    if (m_decided)
        m_decided({origin, userName, Decision::Verdict::Refused, why, {}});
}
