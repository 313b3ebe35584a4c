#include "admin.h"

#include <QList>

namespace Admin {

Route route(const QByteArray &requestLine)
{
    const QList<QByteArray> parts = requestLine.split(' ');
    if (parts.size() != 3 || parts.at(0) != "GET" || !parts.at(2).startsWith("HTTP/"))
        return Route::NotFound;
    QByteArray path = parts.at(1);
    const int query = path.indexOf('?');
    if (query >= 0)
        path.truncate(query);
    if (path == "/live")
        return Route::Live;
    if (path == "/ready")
        return Route::Ready;
    if (path == "/metrics")
        return Route::Metrics;
    return Route::NotFound;
}

QByteArray response(int status, const QByteArray &contentType, const QByteArray &body)
{
    const QByteArray reason = status == 200 ? "OK" : status == 503 ? "Service Unavailable" : "Not Found";
    return "HTTP/1.0 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray liveResponse()
{
    return response(200, "application/json", "{\"live\":true}\n");
}

QByteArray readyResponse(const QString &notReady)
{
    if (notReady.isEmpty())
        return response(200, "application/json", "{\"ready\":true}\n");
    return response(
        503, "application/json", "{\"ready\":false,\"not_ready\":\"" + notReady.toUtf8() + "\"}\n");
}

QByteArray notFoundResponse()
{
    return response(404, "application/json", "{\"error\":\"not found\"}\n");
}

int latencyBucket(double seconds)
{
    for (int i = 0; i < LatencyBounds.size(); ++i)
        if (seconds <= LatencyBounds.at(i))
            return i;
    return LatencyBounds.size();
}

namespace {
// One metric: its help and type lines, then its samples.
struct Writer
{
    QByteArray out;
    void head(const char *name, const char *type, const char *help)
    {
        out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    }
    void sample(const char *name, const QByteArray &labels, double value)
    {
        out += name;
        if (!labels.isEmpty())
            out += '{' + labels + '}';
        out += ' ' + QByteArray::number(value, 'g', 15) + '\n';
    }
};
} // namespace

QByteArray metricsText(const Metrics &m)
{
    Writer w;
    w.head("tovr_merk_build_info", "gauge", "The agent's version.");
    w.sample("tovr_merk_build_info", "version=\"" + m.version.toUtf8() + '"', 1);
    w.head("tovr_merk_checks_total", "counter", "HTTP checks answered, by verdict.");
    w.sample("tovr_merk_checks_total", "verdict=\"found\"", double(m.checksFound));
    w.sample("tovr_merk_checks_total", "verdict=\"not_found\"", double(m.checksNotFound));
    w.sample("tovr_merk_checks_total", "verdict=\"unavailable\"", double(m.checksUnavailable));
    w.head("tovr_merk_check_duration_seconds", "histogram",
        "From a check's complete request line to its answer.");
    quint64 cumulative = 0;
    for (int i = 0; i < m.latencyCounts.size(); ++i) {
        cumulative += m.latencyCounts.at(i);
        const QByteArray bound
            = i < LatencyBounds.size() ? QByteArray::number(LatencyBounds.at(i), 'g', 6) : "+Inf";
        w.sample("tovr_merk_check_duration_seconds_bucket", "le=\"" + bound + '"', double(cumulative));
    }
    w.sample("tovr_merk_check_duration_seconds_sum", QByteArray(), m.latencySumSeconds);
    w.sample("tovr_merk_check_duration_seconds_count", QByteArray(), double(cumulative));
    w.head("tovr_merk_lookups_total", "counter", "Parameter lookups, by outcome.");
    w.sample("tovr_merk_lookups_total", "outcome=\"replied\"", double(m.lookupsReplied));
    w.sample("tovr_merk_lookups_total", "outcome=\"failed\"", double(m.lookupsFailed));
    w.sample("tovr_merk_lookups_total", "outcome=\"client_gone\"", double(m.lookupsClientGone));
    w.head("tovr_merk_statements_total", "counter", "Statements run or refused, checks and lookups.");
    w.sample("tovr_merk_statements_total", QByteArray(), double(m.statements));
    w.head("tovr_merk_statement_failures_total", "counter", "Statements that failed, time-outs included.");
    w.sample("tovr_merk_statement_failures_total", QByteArray(), double(m.statementFailures));
    w.head("tovr_merk_statement_timeouts_total", "counter", "Statements that ran out of time.");
    w.sample("tovr_merk_statement_timeouts_total", QByteArray(), double(m.statementTimeouts));
    w.head("tovr_merk_statements_failed_fast_total", "counter",
        "Statements not sent while the database was not answering.");
    w.sample("tovr_merk_statements_failed_fast_total", QByteArray(), double(m.failedFast));
    w.head("tovr_merk_reconnects_total", "counter", "Reopens of a lost database connection, by result.");
    w.sample("tovr_merk_reconnects_total", "result=\"succeeded\"", double(m.reconnects));
    w.sample("tovr_merk_reconnects_total", "result=\"failed\"", double(m.reconnectAttempts - m.reconnects));
    w.head("tovr_merk_connections_retired_total", "counter",
        "Pool connections that did not answer by the deadline, left to finish and replaced.");
    w.sample("tovr_merk_connections_retired_total", QByteArray(), double(m.connectionsRetired));
    w.head("tovr_merk_http_connections_open", "gauge", "Open HTTP check connections.");
    w.sample("tovr_merk_http_connections_open", QByteArray(), m.connectionsOpen);
    w.head("tovr_merk_http_connections_accepted_total", "counter", "HTTP check connections accepted.");
    w.sample("tovr_merk_http_connections_accepted_total", QByteArray(), double(m.connectionsAccepted));
    w.head(
        "tovr_merk_http_connections_closed_total", "counter", "HTTP check connections closed for a limit.");
    w.sample(
        "tovr_merk_http_connections_closed_total", "reason=\"request_too_long\"", double(m.closedTooLong));
    w.sample("tovr_merk_http_connections_closed_total", "reason=\"silent\"", double(m.closedSilent));
    w.sample("tovr_merk_http_connections_closed_total", "reason=\"shed\"", double(m.closedShed));
    w.head("tovr_merk_panel_dropped_lines_total", "counter",
        "Log panel lines dropped because it could not keep up.");
    w.sample("tovr_merk_panel_dropped_lines_total", QByteArray(), double(m.panelDroppedLines));
    w.head("tovr_merk_throttle_delayed_checks_total", "counter",
        "Checks that waited because their user name was throttled.");
    w.sample("tovr_merk_throttle_delayed_checks_total", QByteArray(), double(m.throttleDelayed));
    w.head("tovr_merk_throttle_started_total", "counter", "Times a user name's checks began to wait.");
    w.sample("tovr_merk_throttle_started_total", QByteArray(), double(m.throttleStarted));
    w.head("tovr_merk_throttle_refused_checks_total", "counter",
        "Checks answered not found at once: too many of their user name's were waiting.");
    w.sample("tovr_merk_throttle_refused_checks_total", QByteArray(), double(m.throttleRefused));
    w.head("tovr_merk_throttle_names", "gauge", "User names the throttle remembers.");
    w.sample("tovr_merk_throttle_names", QByteArray(), m.throttleNames);
    return w.out;
}

QByteArray metricsResponse(const Metrics &metrics)
{
    return response(200, "text/plain; version=0.0.4; charset=utf-8", metricsText(metrics));
}

} // namespace Admin
