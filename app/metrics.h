#ifndef METRICS_H
#define METRICS_H

#include "cache/verdictcache.h"
#include "db/database.h"
#include "passwords/verifier.h"

#include <QByteArray>

#include <optional>

class AuthEndpoint;
class HttpEndpoint;
class LookupQueue;
class PanelFeed;
class TlsListener;

// What /metrics reports, read straight from what each unit counts.
namespace Metrics {

struct Sources
{
    const HttpEndpoint &http; // checks, latency, connections, the throttle
    const LookupQueue &lookups;
    const StatementExecutor::Counters &statements; // every connection's, a reload's predecessors' too
    const PanelFeed &panel;
    const Verifier::Counters *passwords; // with sql/password_column
    const TlsListener *tls;              // with https/port
    const VerdictCache::Counters *cache; // with cache/ttl
    int cacheEntries;
    std::optional<quint64> auditDropped; // with log/audit
    const AuthEndpoint *auth = nullptr;  // with auth/port
    const ServerSet *servers = nullptr;  // with a list of servers in sql/host
    quint64 failovers = 0;               // moves to another server, a reload's predecessors' too
};

// The Prometheus text exposition format (version 0.0.4).
QByteArray text(const Sources &sources);

} // namespace Metrics

#endif // METRICS_H
