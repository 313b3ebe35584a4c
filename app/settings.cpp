#include "settings.h"

#include "db/sqlrules.h"
#include "net/httprequest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSettings>

namespace Settings {

const std::vector<Key> &table()
{
    static const std::vector<Key> keys {
        {QStringLiteral("sql/type"), DefaultSqlType, &AgentConfig::sqlType, true},
        {QStringLiteral("sql/host"), DefaultSqlHost, &AgentConfig::sqlHost, true},
        {QStringLiteral("sql/port"), DefaultSqlPort, &AgentConfig::sqlPort, true},
        {QStringLiteral("sql/dsn"), DefaultSqlDsn, &AgentConfig::sqlDsn, true},
        {QStringLiteral("sql/user"), DefaultSqlUser, &AgentConfig::sqlUser, true},
        {QStringLiteral("sql/password"), DefaultSqlPassword, &AgentConfig::sqlPassword, true},
        {QStringLiteral("sql/query"), DefaultSqlQuery, &AgentConfig::sqlQuery, true},
        {QStringLiteral("sql/ret_param"), DefaultSqlRetParam, &AgentConfig::sqlRetParam, true},
        {QStringLiteral("server/port"), DefaultServerPort, &AgentConfig::serverPort, true},
        {QStringLiteral("http/port"), DefaultHttpPort, &AgentConfig::httpPort, false},
        {QStringLiteral("test/query1"), DefaultTestQuery1, &AgentConfig::testQuery1, true},
        {QStringLiteral("app/key1"), DefaultAppKey1, &AgentConfig::appKey1, true},
        {QStringLiteral("app/key2"), QString(), &AgentConfig::cipherKey, true},
        {QStringLiteral("app/config_host"), DefaultConfigHost, &AgentConfig::configHost, false},
        {QStringLiteral("sql/timeout"), Sql::DefaultTimeoutSeconds, &AgentConfig::sqlTimeout, false},
        {QStringLiteral("sql/options"), QString(), &AgentConfig::sqlOptions, false},
        {QStringLiteral("sql/pool"), DefaultSqlPool, &AgentConfig::sqlPool, false},
        {QStringLiteral("sql/password_column"), QString(), &AgentConfig::sqlPasswordColumn, false},
        {QStringLiteral("sql/hash_threads"), 0, &AgentConfig::sqlHashThreads, false},
        {QStringLiteral("sql/weak_hashes"), false, &AgentConfig::sqlWeakHashes, false},
        {QStringLiteral("http/unavailable"), false, &AgentConfig::httpUnavailable, false},
        {QStringLiteral("http/max_connections"), Http::MaxConnections, &AgentConfig::httpMaxConnections,
            false},
        {QStringLiteral("http/throttle"), 0, &AgentConfig::httpThrottle, false},
        {QStringLiteral("https/port"), 0, &AgentConfig::httpsPort, false},
        {QStringLiteral("https/certificate"), QString(), &AgentConfig::httpsCertificate, false},
        {QStringLiteral("https/key"), QString(), &AgentConfig::httpsKey, false},
        {QStringLiteral("admin/port"), DefaultAdminPort, &AgentConfig::adminPort, false},
        {QStringLiteral("admin/address"), DefaultAdminAddress, &AgentConfig::adminAddress, false},
        {QStringLiteral("cache/ttl"), 0, &AgentConfig::cacheTtl, false},
        {QStringLiteral("cache/negative_ttl"), 0, &AgentConfig::cacheNegativeTtl, false},
        {QStringLiteral("cache/stale"), 0, &AgentConfig::cacheStale, false},
        {QStringLiteral("cache/size"), Cache::Policy().size, &AgentConfig::cacheSize, false},
    };
    return keys;
}

QStringList problems(const Findings &findings)
{
    const QString prefix = QStringLiteral("[e] config: ");
    QStringList lines;
    if (!findings.iniFound)
        lines << prefix
                + QStringLiteral("no tovr_merk.ini in %1; the built-in defaults apply")
                      .arg(findings.directory);
    for (const QString &key : findings.readAsLists)
        lines << prefix
                + QStringLiteral("%1 holds a comma outside double quotes, so it was read as a list and is "
                                 "empty; put the whole value in double quotes")
                      .arg(key);
    if (!findings.availableDrivers.contains(findings.driver))
        lines << prefix
                + QStringLiteral("sql/type %1 is not an available driver; available: %2")
                      .arg(findings.driver, findings.availableDrivers.join(QLatin1Char(',')));
    if (!findings.missingPlaceholders.isEmpty())
        lines << prefix
                + QStringLiteral("sql/query has no %1, so the credential check does not run it and "
                                 "answers not found")
                      .arg(findings.missingPlaceholders.join(QStringLiteral(" and ")));
    return lines;
}

} // namespace Settings

AgentLimits limitsFor(const AgentConfig &config, AgentLimits base)
{
    base.http.maxConnections = config.httpMaxConnections;
    base.passwords.threads = config.sqlHashThreads;
    base.throttle.failures = config.httpThrottle;
    base.cache = {qMax(0, config.cacheTtl) * qint64(1000), qMax(0, config.cacheNegativeTtl) * qint64(1000),
        qMax(0, config.cacheStale) * qint64(1000), qMax(1, config.cacheSize)};
    base.pool.database = base.database;
    base.pool.deadlineMs
        = config.sqlTimeout > 0 ? config.sqlTimeout * 1000 + ConnectionPool::DriverGraceMs : 0;
    return base;
}

QByteArray generateRandomKey()
{
    QByteArray key(Settings::RandomKeyBytes, Qt::Uninitialized);
    auto *words = reinterpret_cast<quint64 *>(key.data());
    QRandomGenerator::system()->fillRange(words, key.size() / int(sizeof(quint64)));
    return key;
}

namespace {
// How a value from the INI file becomes a member, by the member's type.
void assign(QString &member, const QVariant &value)
{
    member = value.toString();
}
void assign(int &member, const QVariant &value)
{
    member = value.toInt();
}
void assign(bool &member, const QVariant &value)
{
    member = value.toBool();
}
void assign(QByteArray &cipherKey, const QVariant &value)
{
    const QString base64 = value.toString();
    cipherKey = base64 != QLatin1String("") ? QByteArray::fromBase64(base64.toLatin1()) : generateRandomKey();
}

// How a member is saved to the per-user store: as it is, the key as base64.
QVariant saved(const QString &member)
{
    return member;
}
QVariant saved(int member)
{
    return member;
}
QVariant saved(bool member)
{
    return member;
}
QVariant saved(const QByteArray &cipherKey)
{
    return QString::fromLatin1(cipherKey.toBase64());
}
} // namespace

namespace Settings {

AgentConfig read(const QString &path, Findings *findings)
{
    AgentConfig config;
    QSettings ini(path, QSettings::IniFormat);
    for (const Key &key : table()) {
        const QVariant value = ini.value(key.name, key.defaultValue);
        if (value.type() == QVariant::StringList)
            findings->readAsLists << key.name;
        std::visit([&](auto member) { assign(config.*member, value); }, key.member);
    }
    findings->iniFound = QFileInfo::exists(path);
    findings->directory = QDir::currentPath();
    return config;
}

void write(const AgentConfig &config, QSettings &store)
{
    for (const Key &key : table()) {
        if (key.savedOnClose)
            std::visit([&](auto member) { store.setValue(key.name, saved(config.*member)); }, key.member);
    }
}

} // namespace Settings
