#include "serverlist.h"
#include "sqlrules.h"

#include <QDebug>
#include <QMutexLocker>
#include <QRegularExpression>

#include <arpa/inet.h>

namespace Sql {

namespace {
bool isIpv6(const QString &text)
{
    in6_addr address {};
    return ::inet_pton(AF_INET6, text.toLatin1().constData(), &address) == 1;
}

// "5432" as a port; nothing when it is not one.
std::optional<int> portOf(const QString &text)
{
    bool ok = false;
    const int port = text.toInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

// One entry of the list; nothing, with *why, when it does not read.
std::optional<ServerEntry> parseEntry(const QString &entry, int defaultPort, QString *why)
{
    ServerEntry server {entry, defaultPort, QString()};
    QString port;
    if (entry.startsWith(QLatin1Char('['))) {
        const int close = entry.indexOf(QLatin1Char(']'));
        server.host = entry.mid(1, close - 1);
        const QString rest = close < 0 ? QString() : entry.mid(close + 1);
        if (close < 0 || !isIpv6(server.host) || (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))) {
            *why = QStringLiteral("%1 is not an IPv6 address in brackets").arg(entry);
            return std::nullopt;
        }
        port = rest.mid(1);
        if (rest.isEmpty())
            return server;
    } else if (entry.count(QLatin1Char(':')) > 1) {
        // A bare IPv6 address, as a single host has always been given.
        if (!isIpv6(entry)) {
            *why = QStringLiteral("%1 is not an IPv6 address (with a port, write [address]:port)").arg(entry);
            return std::nullopt;
        }
        return server;
    } else if (entry.contains(QLatin1Char(':'))) {
        server.host = entry.section(QLatin1Char(':'), 0, 0);
        port = entry.section(QLatin1Char(':'), 1);
    } else {
        return server;
    }
    const std::optional<int> number = portOf(port);
    if (server.host.isEmpty() || !number) {
        *why = QStringLiteral("%1 has no host, or a port not in 1..65535").arg(entry);
        return std::nullopt;
    }
    server.port = *number;
    return server;
}
} // namespace

QString ServerEntry::name() const
{
    if (port <= 0)
        return host;
    const QString shown = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return shown + QLatin1Char(':') + QString::number(port);
}

namespace {
// The entries of a list split into parts, each read by entryOf; the checks
// both lists share: how many, none empty, none twice.
template <typename EntryOf>
std::optional<QVector<ServerEntry>> collect(const QStringList &parts, QString *why, EntryOf entryOf)
{
    QString unsaid;
    if (!why)
        why = &unsaid;
    if (parts.size() > MaxServers) {
        *why = QStringLiteral("lists %1 servers, more than %2").arg(parts.size()).arg(MaxServers);
        return std::nullopt;
    }
    QVector<ServerEntry> servers;
    for (int i = 0; i < parts.size(); ++i) {
        const QString entry = parts.at(i).trimmed();
        if (entry.isEmpty()) {
            *why = QStringLiteral("entry %1 is empty").arg(i + 1);
            return std::nullopt;
        }
        const std::optional<ServerEntry> server = entryOf(entry, why);
        if (!server)
            return std::nullopt;
        if (servers.contains(*server)) {
            *why = QStringLiteral("names %1 twice").arg(server->name());
            return std::nullopt;
        }
        servers << *server;
    }
    return servers;
}

// An ODBC connection string's key=value pairs, keys in upper case, the first
// of a key as drivers take it; a value in braces may hold ";" and "|", and
// writes "}" as "}}". A key without "=" has no value to name anything by.
QHash<QString, QString> odbcPairs(const QString &text)
{
    QHash<QString, QString> pairs;
    for (int at = 0; at < text.size();) {
        const int equals = text.indexOf(QLatin1Char('='), at), semicolon = text.indexOf(QLatin1Char(';'), at);
        if (equals < 0 || (semicolon >= 0 && semicolon < equals)) {
            at = semicolon < 0 ? text.size() : semicolon + 1;
            continue;
        }
        const QString key = text.mid(at, equals - at).trimmed().toUpper();
        for (at = equals + 1; at < text.size() && text.at(at).isSpace(); ++at) { }
        const bool braced = at < text.size() && text.at(at) == QLatin1Char('{');
        QString value;
        for (at += braced; braced && at < text.size(); ++at) {
            if (text.at(at) == QLatin1Char('}') && text.midRef(at, 2) != QLatin1String("}}"))
                break;
            at += text.at(at) == QLatin1Char('}');
            value += text.at(at);
        }
        const int end = text.indexOf(QLatin1Char(';'), at);
        if (!pairs.contains(key))
            pairs.insert(key, braced ? value : text.mid(at, end < 0 ? -1 : end - at).trimmed());
        at = end < 0 ? text.size() : end + 1;
    }
    return pairs;
}

// Text split at each "|" that stands outside braces.
QStringList splitOutsideBraces(const QString &text)
{
    QStringList parts {QString()};
    bool braced = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (braced && c == QLatin1Char('}') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('}'))
            parts.last() += text.at(i++);
        else if (c == QLatin1Char('{') || c == QLatin1Char('}'))
            braced = c == QLatin1Char('{');
        else if (c == QLatin1Char('|') && !braced) {
            parts << QString();
            continue;
        }
        parts.last() += c;
    }
    return parts;
}

// A DSN name: ODBC forbids these characters in one.
bool isDsnName(const QString &text)
{
    static const QRegularExpression name(QStringLiteral("^[^\\[\\]{}(),;?*=!@\\\\]+$"));
    return name.match(text.trimmed()).hasMatch();
}

bool isConnectionString(const QString &text)
{
    const QHash<QString, QString> pairs = odbcPairs(text);
    return pairs.contains(QStringLiteral("DRIVER")) || pairs.contains(QStringLiteral("DSN"))
        || pairs.contains(QStringLiteral("FILEDSN"));
}

// An ODBC entry, named by the server it names.
ServerEntry odbcEntry(const QString &text)
{
    ServerEntry entry {text, 0, text};
    if (isDsnName(text))
        return entry;
    const QHash<QString, QString> pairs = odbcPairs(text);
    for (const char *key : {"SERVER", "SERVERNAME", "HOST", "HOSTNAME", "DSN", "FILEDSN"}) {
        if (!pairs.value(QLatin1String(key)).isEmpty()) {
            entry.host = pairs.value(QLatin1String(key));
            entry.port = portOf(pairs.value(QStringLiteral("PORT"))).value_or(0);
            return entry;
        }
    }
    entry.host = maskCredentials(text);
    return entry;
}
} // namespace

std::optional<QVector<ServerEntry>> parseServerList(const QString &text, int defaultPort, QString *why)
{
    return collect(text.split(QLatin1Char(',')), why,
        [defaultPort](const QString &entry, QString *said) { return parseEntry(entry, defaultPort, said); });
}

std::optional<QVector<ServerEntry>> parseDsnList(const QString &text, QString *why)
{
    const QStringList parts = splitOutsideBraces(text);
    const auto all = [&parts](bool (*kind)(const QString &)) {
        return std::all_of(parts.cbegin(), parts.cend(),
            [kind](const QString &part) { return part.trimmed().isEmpty() || kind(part); });
    };
    const auto named = std::count_if(
        parts.cbegin(), parts.cend(), [](const QString &part) { return !part.trimmed().isEmpty(); });
    // One entry, as the driver has always read sql/dsn: empty, or with a
    // "|" that ends a value rather than parts of a list.
    if (named < 2 || !(all(isDsnName) || all(isConnectionString)))
        return QVector<ServerEntry> {odbcEntry(text)};
    return collect(parts, why, [](const QString &entry, QString *) { return odbcEntry(entry); });
}

QVector<int> tryOrder(const QVector<qint64> &failedAtMs, qint64 nowMs, qint64 retryMs)
{
    QVector<int> order, lately;
    for (int i = 0; i < failedAtMs.size(); ++i)
        (failedAtMs.at(i) < 0 || nowMs - failedAtMs.at(i) >= retryMs ? order : lately) << i;
    return order + lately;
}

std::optional<Target> parseTarget(const QString &text)
{
    if (text == QLatin1String("any"))
        return Target::Any;
    if (text == QLatin1String("primary"))
        return Target::Primary;
    return std::nullopt;
}

QString readOnlyQuery(const QString &driver, const QString &product)
{
    if (driver == QLatin1String("QPSQL") || product.contains(QLatin1String("PostgreSQL")))
        return QStringLiteral("SELECT pg_is_in_recovery()");
    if (mysqlFamily(driver, product))
        return QStringLiteral("SELECT @@read_only OR @@innodb_read_only");
    return QString();
}

} // namespace Sql

ServerSet::ServerSet(const QVector<Sql::ServerEntry> &entries, int retryMs, Sql::Target target)
    : m_entries(entries), m_retryMs(retryMs), m_target(target), m_failedAt(entries.size(), -1),
      m_up(entries.size(), false)
{
    m_clock.start();
}

QVector<int> ServerSet::order() const
{
    const QMutexLocker lock(&m_mutex);
    return Sql::tryOrder(m_failedAt, now(), m_retryMs);
}

void ServerSet::failed(int i, const QString &why)
{
    const QMutexLocker lock(&m_mutex);
    const bool first = m_failedAt.at(i) < 0 || m_up.at(i);
    m_failedAt[i] = now();
    m_up[i] = false;
    if (first)
        qWarning().noquote() << QStringLiteral("[e] database server %1 %2; new connections skip it for %3 s")
                                    .arg(m_entries.at(i).name(), why)
                                    .arg(m_retryMs / 1000);
}

void ServerSet::opened(int i, const QString &connection)
{
    const QMutexLocker lock(&m_mutex);
    m_up[i] = true;
    m_failedAt[i] = -1;
    m_connections.insert(connection, i);
    const int before = m_inUse;
    m_inUse = i;
    if (before < 0 || before == i)
        return;
    ++m_failovers;
    qWarning().noquote() << QStringLiteral("[e] database connections move from server %1 to %2")
                                .arg(m_entries.at(before).name(), m_entries.at(i).name());
}

int ServerSet::serverOf(const QString &connection) const
{
    const QMutexLocker lock(&m_mutex);
    return m_connections.value(connection, -1);
}

void ServerSet::forget(const QString &connection)
{
    const QMutexLocker lock(&m_mutex);
    m_connections.remove(connection);
}

bool ServerSet::failedSince(int i, qint64 sinceMs) const
{
    const QMutexLocker lock(&m_mutex);
    return m_failedAt.at(i) >= sinceMs;
}

bool ServerSet::anyUsable() const
{
    const QMutexLocker lock(&m_mutex);
    const qint64 at = now();
    return std::any_of(m_failedAt.cbegin(), m_failedAt.cend(),
        [&](qint64 failedAt) { return failedAt < 0 || at - failedAt >= m_retryMs; });
}

bool ServerSet::up(int i) const
{
    const QMutexLocker lock(&m_mutex);
    return m_up.at(i);
}

int ServerSet::inUse() const
{
    const QMutexLocker lock(&m_mutex);
    return m_inUse;
}

quint64 ServerSet::failovers() const
{
    const QMutexLocker lock(&m_mutex);
    return m_failovers;
}
