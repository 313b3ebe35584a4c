#ifndef ADMIN_H
#define ADMIN_H

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtGlobal>

// The admin endpoint's rules as pure functions: which request asks for what,
// and the answers, the Prometheus text among them.
namespace Admin {

// ---- Requests ----------------------------------------------------------------
enum class Route { Live, Ready, Metrics, NotFound };
// "GET /live", "GET /ready" or "GET /metrics" (a query after "?" is ignored);
// anything else is NotFound. requestLine is the first line, without its end.
Route route(const QByteArray &requestLine);

// ---- Answers -----------------------------------------------------------------
// A whole HTTP/1.0 answer: status, Content-Type, Content-Length, the body.
QByteArray response(int status, const QByteArray &contentType, const QByteArray &body);
QByteArray liveResponse();
// 200 {"ready":true}, or 503 {"ready":false,"not_ready":"<part>"}; one line.
QByteArray readyResponse(const QString &notReady);
QByteArray notFoundResponse();

// ---- Metrics -----------------------------------------------------------------
// Check latency buckets, upper bounds in seconds; the last bucket is +Inf.
inline const QVector<double> LatencyBounds {
    0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

// What the agent counted, read when /metrics is asked for.
struct Metrics
{
    QString version;
    // HTTP checks answered, by verdict
    quint64 checksFound = 0, checksNotFound = 0, checksUnavailable = 0;
    // lookups, by outcome
    quint64 lookupsReplied = 0, lookupsFailed = 0, lookupsClientGone = 0;
    // statements
    quint64 statements = 0, statementFailures = 0, statementTimeouts = 0, failedFast = 0;
    quint64 reconnectAttempts = 0, reconnects = 0, connectionsRetired = 0;
    // HTTP connections
    int connectionsOpen = 0;
    quint64 connectionsAccepted = 0, closedTooLong = 0, closedSilent = 0, closedShed = 0;
    // check latency: counts per bucket of LatencyBounds (not cumulative), +Inf last
    QVector<quint64> latencyCounts = QVector<quint64>(LatencyBounds.size() + 1, 0);
    double latencySumSeconds = 0;
    quint64 panelDroppedLines = 0;
    // guessing throttled: checks that waited, names whose checks began to wait,
    // checks refused for a full queue, names tracked
    quint64 throttleDelayed = 0, throttleStarted = 0, throttleRefused = 0;
    int throttleNames = 0;
};
// The Prometheus text exposition format (version 0.0.4).
QByteArray metricsText(const Metrics &metrics);
QByteArray metricsResponse(const Metrics &metrics);
// Index of the bucket a latency falls in.
int latencyBucket(double seconds);

} // namespace Admin

#endif // ADMIN_H
