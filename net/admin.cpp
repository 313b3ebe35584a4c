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

QByteArray metricsResponse(const QByteArray &text)
{
    return response(200, "text/plain; version=0.0.4; charset=utf-8", text);
}

} // namespace Admin
