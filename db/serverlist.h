#ifndef SERVERLIST_H
#define SERVERLIST_H

#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QString>
#include <QVector>

#include <optional>

// sql/host as a list of servers: the pure rules (how the list reads, which
// entry a new connection tries next), and the one record of failed entries
// that every connection of a configuration shares.
namespace Sql {

// ---- Limits ----------------------------------------------------------------
// Entries in sql/host at most: each costs a connect deadline when all are
// down, so a long list would hold a check for minutes.
constexpr int MaxServers = 16;
// Seconds an entry that failed is skipped by new connections (sql/host_retry),
// and at most: a day, far past any outage worth waiting out.
constexpr int DefaultHostRetrySeconds = 30;
constexpr int MaxHostRetrySeconds = 24 * 3600;

// ---- The list --------------------------------------------------------------
struct ServerEntry
{
    QString host; // a name, or an address; an IPv6 one without its brackets
    int port = 0; // 0: none known (an ODBC entry that names no port)
    // For ODBC: the DSN name or connection string the entry opens, which
    // alone the driver reads; host and port then only name it.
    QString dsn;
    // How logs, metrics and the status name it: "host:port", "[v6]:port";
    // an ODBC entry without a port, "host" (or the DSN's name).
    QString name() const;
    bool operator==(const ServerEntry &other) const { return host == other.host && port == other.port; }
};

// The entries of text: "host[:port]" separated by commas, an IPv6 address in
// brackets when it has a port ("[2001:db8::1]:5432"; bare, it takes the
// default); an entry without a port takes defaultPort. Nothing, with *why,
// for an empty entry, a port not in 1..65535, a bad IPv6 literal, more than
// MaxServers entries, or the same entry twice (why may be null).
std::optional<QVector<ServerEntry>> parseServerList(const QString &text, int defaultPort, QString *why);

// sql/dsn for ODBC as a list: DSN names, or connection strings, separated
// by "|" outside braces (where a value may hold one). A connection string's
// entry is named by its SERVER (SERVERNAME, HOST, HOSTNAME) and PORT, else
// by its DSN. A "|" is also a character a value may hold unbraced, so text
// is a list only when every part is a DSN name, or every part a connection
// string naming DRIVER, DSN or FILEDSN; anything else is one entry, the
// whole text, as the driver has always read it (so is text with fewer than
// two non-empty parts). Nothing, with *why, for a list with an empty entry,
// more than MaxServers entries, or one named twice.
std::optional<QVector<ServerEntry>> parseDsnList(const QString &text, QString *why);

// The entries a new connection tries, in this order: those that have not
// failed within retryMs, in list order; then, once every one of those has
// failed too, those that have, in list order (one may be back: a server
// restarted while the others still worked, then the others down).
// failedAtMs: per entry, when it last failed on the caller's clock, or a
// negative number for never.
QVector<int> tryOrder(const QVector<qint64> &failedAtMs, qint64 nowMs, qint64 retryMs);

// ---- Which servers are wanted ----------------------------------------------
// sql/target: any server, or one that takes writes.
enum class Target { Any, Primary };
std::optional<Target> parseTarget(const QString &text);
// The statement whose one value is true on a server that takes no writes,
// for the driver and the product the server names itself (through ODBC:
// "PostgreSQL", "MariaDB", "MySQL"; empty when unknown); empty when there
// is no way to tell.
QString readOnlyQuery(const QString &driver, const QString &product);

} // namespace Sql

// The servers of one configuration and what its connections found of them.
// Shared by the dialog's connection and every pool connection (threads of
// their own), so a server one finds dead is skipped by the others at once.
class ServerSet
{
public:
    ServerSet(const QVector<Sql::ServerEntry> &entries, int retryMs, Sql::Target target);

    const QVector<Sql::ServerEntry> &entries() const { return m_entries; }
    Sql::Target target() const { return m_target; }

    // The entries a new connection tries now, in order (Sql::tryOrder).
    QVector<int> order() const;
    // Entry i failed a connection, for the reason why: it did not open, it
    // takes no writes when writes are wanted, or it stopped answering. Said
    // once, when it was not known to have failed before.
    void failed(int i, const QString &why);
    // The connection of that name opened on entry i. When the entry the
    // connections used before was another, they have moved: said and counted.
    void opened(int i, const QString &connection);
    // The entry the connection of that name opened on last; -1 for none.
    int serverOf(const QString &connection) const;
    // The connection of that name is given up: its entry is not kept.
    void forget(const QString &connection);
    // Whether entry i failed at or after sinceMs (on this record's clock).
    bool failedSince(int i, qint64 sinceMs) const;
    // Whether some entry has not failed within the retry interval: a
    // statement that found its server gone can go to another at once.
    bool anyUsable() const;
    qint64 now() const { return m_clock.elapsed(); }

    // For the operators: whether the last connection to entry i opened, the
    // entry connections opened on last (-1: none yet), and how often they moved.
    bool up(int i) const;
    int inUse() const;
    quint64 failovers() const;

private:
    const QVector<Sql::ServerEntry> m_entries;
    const int m_retryMs;
    const Sql::Target m_target;
    QElapsedTimer m_clock;
    mutable QMutex m_mutex; // guards everything below
    QVector<qint64> m_failedAt;
    QVector<bool> m_up;
    QHash<QString, int> m_connections; // connection name -> entry
    int m_inUse = -1;
    quint64 m_failovers = 0;
};

#endif // SERVERLIST_H
