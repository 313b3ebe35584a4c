#include "checkbackend.h"

#include "db/sqlrules.h"

namespace {
void add(StatementExecutor::Counters &to, const StatementExecutor::Counters &from)
{
    to.statements += from.statements;
    to.failures += from.failures;
    to.timeouts += from.timeouts;
    to.failedFast += from.failedFast;
    to.reopenAttempts += from.reopenAttempts;
    to.reopens += from.reopens;
    to.retired += from.retired;
}

void add(Verifier::Counters &to, const Verifier::Counters &from)
{
    for (auto it = from.verifications.cbegin(); it != from.verifications.cend(); ++it)
        to.verifications[it.key()] += it.value();
    for (int i = 0; i < to.seconds.size() && i < from.seconds.size(); ++i)
        to.seconds[i] += from.seconds.at(i);
    to.secondsSum += from.secondsSum;
    for (auto it = from.rehashes.cbegin(); it != from.rehashes.cend(); ++it)
        to.rehashes[it.key()] += it.value();
}

void add(VerdictCache::Counters &to, const VerdictCache::Counters &from)
{
    to.hits += from.hits;
    to.misses += from.misses;
    to.staleAnswers += from.staleAnswers;
    to.evictions += from.evictions;
}

void add(CheckBackends::Totals &to, CheckBackend &backend)
{
    add(to.statements, backend.executor().counters());
    if (backend.verifier)
        add(to.passwords, backend.verifier->counters());
    if (backend.cache)
        add(to.cache, backend.cache->counters());
    if (backend.servers)
        to.failovers += backend.servers->failovers();
}

// The servers to walk: a list that reads, for a driver that connects to a
// host, or for ODBC a list of DSNs; one server, only when it has to be a
// primary. Anything else goes to the driver as it always has (said at start
// when it does not read).
std::shared_ptr<ServerSet> serversFor(const AgentConfig &config)
{
    const bool odbc = config.sqlType == QLatin1String("QODBC");
    const auto servers = odbc ? Sql::parseDsnList(config.sqlDsn, nullptr)
                              : Sql::parseServerList(config.sqlHost, config.sqlPort, nullptr);
    const Sql::Target target = Sql::parseTarget(config.sqlTarget).value_or(Sql::Target::Any);
    if (!servers || config.sqlType == QLatin1String("QSQLITE")
        || (servers->size() == 1 && target == Sql::Target::Any))
        return nullptr;
    return std::make_shared<ServerSet>(
        *servers, qBound(0, config.sqlHostRetry, Sql::MaxHostRetrySeconds) * 1000, target);
}

// sql/dsn as output shows it: each ODBC entry of a list masked on its own,
// so a password's end cannot run into the next entry.
QString shownDsnOf(const AgentConfig &config, const ServerSet *servers)
{
    if (!servers || servers->entries().constFirst().dsn.isEmpty())
        return Sql::maskCredentials(config.sqlDsn);
    QStringList shown;
    for (const Sql::ServerEntry &entry : servers->entries())
        shown << Sql::maskCredentials(entry.dsn);
    return shown.join(QLatin1Char('|'));
}
} // namespace

CheckBackend::CheckBackend(const AgentConfig &agentConfig, const AgentLimits &limits, PanelFeed &panel)
    : config(agentConfig), servers(serversFor(agentConfig)), shownDsn(shownDsnOf(agentConfig, servers.get())),
      m_limits(limits)
{
    database.setLimits(limits.database);
    if (!config.sqlPasswordColumn.isEmpty())
        verifier = std::make_unique<Verifier>(config.sqlWeakHashes, limits.passwords);
    if (limits.cache.ttlMs > 0)
        cache = std::make_unique<VerdictCache>(limits.cache);
    checks = std::make_unique<CheckService>(config, shownDsn, database, panel, verifier.get(), cache.get());
}

ConnectionSettings CheckBackend::connection() const
{
    ConnectionSettings settings {config.sqlType, config.sqlHost, config.sqlPort, config.sqlDsn,
        config.sqlUser, config.databasePassword(), config.sqlTimeout, config.sqlOptions, servers};
    if (servers && !servers->entries().constFirst().dsn.isEmpty()) {
        settings.name = servers->entries().constFirst().dsn;
    } else if (servers) {
        settings.host = servers->entries().constFirst().host;
        settings.port = servers->entries().constFirst().port;
    } else if (config.sqlType != QLatin1String("QODBC") && config.sqlType != QLatin1String("QSQLITE")) {
        // One server: a port after it, or brackets around an IPv6 address, are not the driver's to read.
        const auto one = Sql::parseServerList(config.sqlHost, config.sqlPort, nullptr);
        if (one && one->size() == 1) {
            settings.host = one->constFirst().host;
            settings.port = one->constFirst().port;
        }
    }
    return settings;
}

QSqlDatabase CheckBackend::connect()
{
    const QSqlDatabase db = database.configure(connection());
    if (config.sqlPool > 0) {
        // The pool's connections open on their own threads.
        pool = std::make_unique<ConnectionPool>(connection(), config.sqlPool, m_limits.pool);
        checks->useExecutor(*pool);
    }
    return db;
}

void CheckBackend::releaseConnection()
{
    database.release();
}

bool CheckBackend::sameFor(const AgentConfig &a, const AgentConfig &b)
{
    const auto used = [](const AgentConfig &c) {
        return std::make_tuple(c.sqlType, c.sqlHost, c.sqlPort, c.sqlDsn, c.sqlUser, c.databasePassword(),
            c.sqlQuery, c.sqlRetParam, c.sqlTimeout, c.sqlOptions, c.sqlPool, c.sqlPasswordColumn,
            c.sqlHashThreads, c.sqlWeakHashes, c.cacheTtl, c.cacheNegativeTtl, c.cacheStale, c.cacheSize,
            c.sqlRehashQuery, c.sqlRehashMin, c.sqlRehashCost, c.sqlHostRetry, c.sqlTarget);
    };
    return used(a) == used(b);
}

CheckBackends::CheckBackends(std::shared_ptr<CheckBackend> first, QObject *parent)
    : QObject(parent), m_current(std::move(first))
{
    m_letGo.setInterval(RetiredCheckMs);
    connect(&m_letGo, &QTimer::timeout, this, &CheckBackends::letGo);
}

void CheckBackends::replace(std::shared_ptr<CheckBackend> next)
{
    // Until its first statement says otherwise, the database answers as it did.
    next->executor().setAnswering(m_current->executor().answering());
    m_retiring << std::move(m_current);
    m_current = std::move(next);
    // Never from inside a request's answer, where the last holder may be.
    if (!m_letGo.isActive())
        m_letGo.start();
}

// A request holds its backend until its answer is given; a retired backend
// held by nobody else is done.
void CheckBackends::letGo()
{
    for (auto it = m_retiring.begin(); it != m_retiring.end();) {
        // A rehash under way writes through this backend's connections.
        if (it->use_count() > 1 || (*it)->checks->rehashing()) {
            ++it;
            continue;
        }
        add(m_retired, **it);
        // A connection still in a driver call (one the pool retired at its
        // deadline) ends on its own: the dialog's thread does not wait for it.
        if ((*it)->pool)
            (*it)->pool->release();
        it = m_retiring.erase(it);
    }
    if (m_retiring.isEmpty())
        m_letGo.stop();
}

void CheckBackends::check(const QString &userName, const QString &password, Answer done)
{
    const std::shared_ptr<CheckBackend> backend = hold();
    backend->checks->check(userName, password,
        [backend, done = std::move(done)](const Http::Verdict &verdict) { done(verdict); });
}

void CheckBackends::lookup(const QString &input, Done done)
{
    const std::shared_ptr<CheckBackend> backend = hold();
    backend->checks->lookup(
        input, [backend, done = std::move(done)](const LookupQueue::Outcome &outcome) { done(outcome); });
}

CheckBackends::Totals CheckBackends::totals() const
{
    Totals totals = m_retired;
    for (const std::shared_ptr<CheckBackend> &backend : m_retiring)
        add(totals, *backend);
    add(totals, *m_current);
    return totals;
}
