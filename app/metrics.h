#ifndef METRICS_H
#define METRICS_H

#include <QByteArray>

class HttpEndpoint;
class LookupQueue;
class PanelFeed;
class StatementExecutor;
class TlsListener;
class VerdictCache;
class Verifier;

// What /metrics reports, read straight from what each unit counts.
namespace Metrics {

struct Sources
{
    const HttpEndpoint &http; // checks, latency, connections, the throttle
    const LookupQueue &lookups;
    const StatementExecutor &statements; // the pool when there is one
    const PanelFeed &panel;
    const Verifier *passwords; // with sql/password_column
    const TlsListener *tls;    // with https/port
    const VerdictCache *cache; // with cache/ttl
};

// The Prometheus text exposition format (version 0.0.4).
QByteArray text(const Sources &sources);

} // namespace Metrics

#endif // METRICS_H
