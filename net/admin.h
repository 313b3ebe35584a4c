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

// /metrics: the Prometheus text exposition format (version 0.0.4).
QByteArray metricsResponse(const QByteArray &text);
// Index of the bucket a latency falls in.
int latencyBucket(double seconds);

} // namespace Admin

#endif // ADMIN_H
