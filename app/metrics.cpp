#include "metrics.h"
#include "panelfeed.h"

#include "cache/verdictcache.h"
#include "db/database.h"
#include "net/admin.h"
#include "net/authendpoint.h"
#include "net/httpendpoint.h"
#include "net/lookupqueue.h"
#include "net/throttle.h"
#include "net/tlslistener.h"
#include "passwords/verifier.h"

namespace Metrics {

namespace {
// A label's value as the exposition format writes it: a server's name comes
// from the INI, and may hold a quote or a backslash.
QByteArray labelValue(const QString &value)
{
    QByteArray out = value.toUtf8();
    return '"' + out.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n") + '"';
}

// One metric: its help and type lines, then its samples.
struct Writer
{
    QByteArray out;
    void head(const QByteArray &name, const char *type, const char *help)
    {
        out += "# HELP " + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    }
    void sample(const QByteArray &name, const QByteArray &labels, double value)
    {
        out += name;
        if (!labels.isEmpty())
            out += '{' + labels + '}';
        out += ' ' + QByteArray::number(value, 'g', 15) + '\n';
    }
    // Counts per bucket of bounds (not cumulative, +Inf last) as Prometheus
    // wants them: cumulative, with their sum and count.
    void histogram(const QByteArray &name, const char *help, const QVector<double> &bounds,
        const QVector<quint64> &counts, double sum)
    {
        head(name, "histogram", help);
        quint64 cumulative = 0;
        for (int i = 0; i < counts.size(); ++i) {
            cumulative += counts.at(i);
            const QByteArray bound = i < bounds.size() ? QByteArray::number(bounds.at(i), 'g', 6) : "+Inf";
            sample(name + "_bucket", "le=\"" + bound + '"', double(cumulative));
        }
        sample(name + "_sum", QByteArray(), sum);
        sample(name + "_count", QByteArray(), double(cumulative));
    }
    // A metric of one sample without labels.
    void one(const char *name, const char *type, const char *help, double value)
    {
        head(name, type, help);
        sample(name, QByteArray(), value);
    }
};
} // namespace

QByteArray text(const Sources &s)
{
    const HttpEndpoint::Counters &h = s.http.counters();
    const LookupQueue::Counters &l = s.lookups.counters();
    const StatementExecutor::Counters &d = s.statements;
    const CheckThrottle::Counters &t = s.http.throttle().counters();
    Writer w;
    w.head("tovr_merk_build_info", "gauge", "The agent's version.");
    w.sample("tovr_merk_build_info", "version=\"" + QByteArray(AGENT_VERSION) + '"', 1);
    w.head("tovr_merk_checks_total", "counter", "HTTP checks answered, by verdict.");
    w.sample("tovr_merk_checks_total", "verdict=\"found\"", double(h.found));
    w.sample("tovr_merk_checks_total", "verdict=\"not_found\"", double(h.notFound));
    w.sample("tovr_merk_checks_total", "verdict=\"unavailable\"", double(h.unavailable));
    w.histogram("tovr_merk_check_duration_seconds", "From a check's complete request line to its answer.",
        Admin::LatencyBounds, h.latency, h.latencySeconds);
    w.head("tovr_merk_lookups_total", "counter", "Parameter lookups, by outcome.");
    w.sample("tovr_merk_lookups_total", "outcome=\"replied\"", double(l.replied));
    w.sample("tovr_merk_lookups_total", "outcome=\"failed\"", double(l.failed));
    w.sample("tovr_merk_lookups_total", "outcome=\"client_gone\"", double(l.clientGone));
    w.one("tovr_merk_statements_total", "counter", "Statements run or refused, checks and lookups.",
        double(d.statements));
    w.one("tovr_merk_statement_failures_total", "counter", "Statements that failed, time-outs included.",
        double(d.failures));
    w.one("tovr_merk_statement_timeouts_total", "counter", "Statements that ran out of time.",
        double(d.timeouts));
    w.one("tovr_merk_statements_failed_fast_total", "counter",
        "Statements not sent while the database was not answering.", double(d.failedFast));
    w.head("tovr_merk_reconnects_total", "counter", "Reopens of a lost database connection, by result.");
    w.sample("tovr_merk_reconnects_total", "result=\"succeeded\"", double(d.reopens));
    w.sample("tovr_merk_reconnects_total", "result=\"failed\"", double(d.reopenAttempts - d.reopens));
    w.one("tovr_merk_connections_retired_total", "counter",
        "Pool connections that did not answer by the deadline, left to finish and replaced.",
        double(d.retired));
    w.head("tovr_merk_db_server_up", "gauge",
        "With a list of servers in sql/host (or of DSNs in sql/dsn): 1 when the last connection to the "
        "server opened, else 0.");
    if (s.servers) {
        for (int i = 0; i < s.servers->entries().size(); ++i)
            w.sample("tovr_merk_db_server_up", "server=" + labelValue(s.servers->entries().at(i).name()),
                s.servers->up(i) ? 1 : 0);
    }
    w.one("tovr_merk_db_failovers_total", "counter",
        "Times the database connections moved to another server of the list.", double(s.failovers));
    w.one("tovr_merk_http_connections_open", "gauge", "Open HTTP check connections.",
        s.http.connections().size());
    w.one("tovr_merk_http_connections_accepted_total", "counter", "HTTP check connections accepted.",
        double(s.http.connections().counters().accepted));
    w.head(
        "tovr_merk_http_connections_closed_total", "counter", "HTTP check connections closed for a limit.");
    w.sample("tovr_merk_http_connections_closed_total", "reason=\"request_too_long\"", double(h.refused));
    w.sample("tovr_merk_http_connections_closed_total", "reason=\"silent\"", double(h.dropped));
    w.sample("tovr_merk_http_connections_closed_total", "reason=\"shed\"",
        double(s.http.connections().counters().shed));
    w.one("tovr_merk_proxy_headers_refused_total", "counter",
        "Connections closed for a PROXY header: from an address not trusted to send one, or a bad or "
        "unfinished one.",
        double(s.http.connections().counters().proxyRefused + (s.tls ? s.tls->counters().proxyRefused : 0)));
    w.one("tovr_merk_panel_dropped_lines_total", "counter",
        "Log panel lines dropped because it could not keep up.", double(s.panel.dropped()));
    w.one("tovr_merk_throttle_delayed_checks_total", "counter",
        "Checks that waited because their user name was throttled.", double(t.delayed));
    w.one("tovr_merk_throttle_started_total", "counter", "Times a user name's checks began to wait.",
        double(t.started));
    w.one("tovr_merk_throttle_refused_checks_total", "counter",
        "Checks answered not found at once: too many of their user name's were waiting.", double(t.refused));
    w.one("tovr_merk_throttle_names", "gauge", "User names the throttle remembers.",
        s.http.throttle().namesTracked());
    const CheckThrottle::Counters &a = s.http.clientThrottle().counters();
    w.one("tovr_merk_client_throttle_delayed_checks_total", "counter",
        "Checks that waited because their client's address was throttled.", double(a.delayed));
    w.one("tovr_merk_client_throttle_started_total", "counter", "Times an address's checks began to wait.",
        double(a.started));
    w.one("tovr_merk_client_throttle_refused_checks_total", "counter",
        "Checks answered not found at once: too many of their address's were waiting.", double(a.refused));
    w.one("tovr_merk_client_throttle_addresses", "gauge",
        "Client addresses (IPv6: /64 prefixes) the throttle remembers.",
        s.http.clientThrottle().namesTracked());
    if (s.passwords) {
        const Verifier::Counters &v = *s.passwords;
        w.head("tovr_merk_password_verifications_total", "counter",
            "Stored passwords verified, by format and result.");
        for (auto it = v.verifications.cbegin(); it != v.verifications.cend(); ++it)
            w.sample("tovr_merk_password_verifications_total",
                "format=\"" + it.key().first.toUtf8() + "\",result=\"" + it.key().second.toUtf8() + '"',
                double(it.value()));
        w.histogram("tovr_merk_password_verify_seconds", "Time one check's verification took.",
            Verifier::SecondsBounds, v.seconds, v.secondsSum);
        w.head("tovr_merk_rehashes_total", "counter",
            "Stored passwords rewritten as bcrypt after a found check (sql/rehash_query), by result.");
        for (const char *result : {"done", "failed", "skipped"})
            w.sample("tovr_merk_rehashes_total", "result=\"" + QByteArray(result) + '"',
                double(v.rehashes.value(QString::fromLatin1(result))));
    }
    if (s.tls) {
        const TlsListener::Counters &tls = s.tls->counters();
        w.head("tovr_merk_tls_handshakes_total", "counter", "TLS handshakes on the HTTPS port, by result.");
        w.sample("tovr_merk_tls_handshakes_total", "result=\"full\"", double(tls.handshakes - tls.resumed));
        w.sample("tovr_merk_tls_handshakes_total", "result=\"resumed\"", double(tls.resumed));
        w.sample("tovr_merk_tls_handshakes_total", "result=\"failed\"", double(tls.failed));
        w.sample("tovr_merk_tls_handshakes_total", "result=\"timed_out\"", double(tls.timedOut));
        w.sample("tovr_merk_tls_handshakes_total", "result=\"shed\"", double(tls.shed));
        w.one("tovr_merk_tls_connections_open", "gauge", "Open HTTPS connections, handshaking or relaying.",
            s.tls->connections());
    }
    if (s.auditDropped)
        w.one("tovr_merk_audit_lines_dropped_total", "counter",
            "Audit lines not written: the queue full, or the file could not take them.",
            double(*s.auditDropped));
    if (s.auth) {
        const AuthEndpoint::Counters &signIn = s.auth->counters();
        w.head("tovr_merk_auth_requests_total", "counter",
            "Requests on the sign-in listener, by the status answered.");
        for (auto it = signIn.answers.cbegin(); it != signIn.answers.cend(); ++it)
            w.sample("tovr_merk_auth_requests_total", "status=\"" + QByteArray::number(it.key()) + '"',
                double(it.value()));
        w.one("tovr_merk_auth_connections_open", "gauge", "Open sign-in connections, idle ones included.",
            s.auth->size());
        w.one("tovr_merk_auth_connections_accepted_total", "counter",
            "Sign-in connections accepted; against the requests, how well the proxies keep theirs open.",
            double(signIn.accepted));
        w.head(
            "tovr_merk_auth_connections_closed_total", "counter", "Sign-in connections closed for a limit.");
        w.sample("tovr_merk_auth_connections_closed_total", "reason=\"idle\"", double(signIn.idleClosed));
        w.sample("tovr_merk_auth_connections_closed_total", "reason=\"slow_head\"", double(signIn.slowHeads));
        w.sample("tovr_merk_auth_connections_closed_total", "reason=\"shed\"", double(signIn.shed));
    }
    if (s.cache) {
        const VerdictCache::Counters &c = *s.cache;
        w.one("tovr_merk_cache_hits_total", "counter", "Checks answered from a fresh cache entry.",
            double(c.hits));
        w.one("tovr_merk_cache_misses_total", "counter", "Checks the cache could not answer fresh.",
            double(c.misses));
        w.one("tovr_merk_cache_stale_answers_total", "counter",
            "Checks answered from an expired entry while the database could not answer.",
            double(c.staleAnswers));
        w.one("tovr_merk_cache_evictions_total", "counter", "Entries pushed out by cache/size.",
            double(c.evictions));
        w.one("tovr_merk_cache_entries", "gauge", "Entries in the cache.", s.cacheEntries);
    }
    return w.out;
}

} // namespace Metrics
