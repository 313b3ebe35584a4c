#ifndef CHECKBACKEND_H
#define CHECKBACKEND_H

#include "checkservice.h"
#include "settings.h"

#include "cache/verdictcache.h"
#include "db/database.h"
#include "db/pool.h"
#include "net/httpendpoint.h"
#include "net/lookupqueue.h"
#include "passwords/verifier.h"

#include <QList>
#include <QObject>
#include <QSqlDatabase>
#include <QTimer>

#include <memory>

class PanelFeed;

// What answers checks and lookups for one configuration: the statement and
// its narration, the dialog's connection and the pool, the stored passwords'
// threads and the verdict cache. A reload that changes any of it makes a new
// one rather than change this one under the requests it has in hand.
class CheckBackend
{
public:
    CheckBackend(const AgentConfig &config, const AgentLimits &limits, PanelFeed &panel);

    // Configures the dialog's connection (Qt's default connection) and starts
    // the pool when sql/pool asks for one; returns the dialog's handle. The
    // dialog's connection opens when it is first needed, or by open().
    QSqlDatabase connect();
    // Lets go of Qt's default connection, so a successor can take the name.
    void releaseConnection();

    // The pool when there is one, else the dialog's connection.
    StatementExecutor &executor() { return pool ? static_cast<StatementExecutor &>(*pool) : database; }

    // Whether the two configurations give the same backend.
    static bool sameFor(const AgentConfig &a, const AgentConfig &b);

    const AgentConfig config; // its own copy: the statement and narration read it
    // With a list of servers in sql/host or of DSNs in sql/dsn (or with
    // sql/target=primary): the servers and what every connection found of
    // them; null otherwise.
    std::shared_ptr<ServerSet> servers;
    const QString shownDsn; // sql/dsn as every output shows it: credentials masked
    Database database;
    std::unique_ptr<ConnectionPool> pool;
    std::unique_ptr<Verifier> verifier;
    std::unique_ptr<VerdictCache> cache;
    std::unique_ptr<CheckService> checks;

private:
    ConnectionSettings connection() const;
    const AgentLimits m_limits;
};

// Hands every check and lookup to the current backend. One replaced by a
// reload finishes what it has in hand (each request holds it until its
// answer) and then goes; what it counted stays in the totals.
class CheckBackends : public QObject, public HttpEndpoint::Checker, public LookupQueue::Looker
{
    Q_OBJECT

public:
    // How often a replaced backend is looked at, to see whether it is done.
    static constexpr int RetiredCheckMs = 200;
    // Replaced backends still finishing their checks at most; the next
    // replacement waits for one to go.
    static constexpr int MaxRetiring = 4;

    struct Totals
    {
        StatementExecutor::Counters statements;
        Verifier::Counters passwords;
        VerdictCache::Counters cache;
        quint64 failovers = 0; // times the connections moved to another server
    };

    explicit CheckBackends(std::shared_ptr<CheckBackend> first, QObject *parent = nullptr);

    CheckBackend &current() const { return *m_current; }
    // The current backend, held: a request that holds it keeps it until done.
    std::shared_ptr<CheckBackend> hold() const { return m_current; }
    // From now on requests go to next; the current one retires.
    void replace(std::shared_ptr<CheckBackend> next);

    void check(const QString &userName, const QString &password, Answer done) override;
    void lookup(const QString &input, Done done) override;

    // What every backend counted, the retired ones included.
    Totals totals() const;
    // Backends replaced that still have requests in hand.
    int retiring() const { return m_retiring.size(); }

private:
    void letGo();

    std::shared_ptr<CheckBackend> m_current;
    QList<std::shared_ptr<CheckBackend>> m_retiring;
    Totals m_retired; // what the backends that have gone counted
    QTimer m_letGo;
};

#endif // CHECKBACKEND_H
