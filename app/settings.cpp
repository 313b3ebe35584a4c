#include "settings.h"

#include "db/serverlist.h"
#include "db/sqlrules.h"
#include "net/addressblocks.h"
#include "net/httprequest.h"
#include "passwords/passwords.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>

#include <sys/stat.h>

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
        {QStringLiteral("sql/password_file"), QString(), &AgentConfig::sqlPasswordFile, false},
        {QStringLiteral("http/address"), QString(), &AgentConfig::httpAddress, false},
        {QStringLiteral("https/address"), QString(), &AgentConfig::httpsAddress, false},
        {QStringLiteral("server/address"), QString(), &AgentConfig::serverAddress, false},
        {QStringLiteral("log/audit"), QString(), &AgentConfig::logAudit, false},
        {QStringLiteral("log/audit_userid"), false, &AgentConfig::logAuditUserId, false},
        {QStringLiteral("http/proxy_protocol"), false, &AgentConfig::httpProxyProtocol, false},
        {QStringLiteral("https/proxy_protocol"), false, &AgentConfig::httpsProxyProtocol, false},
        {QStringLiteral("http/trusted_proxies"), QString(), &AgentConfig::httpTrustedProxies, false},
        {QStringLiteral("http/throttle_client"), 0, &AgentConfig::httpThrottleClient, false},
        {QStringLiteral("http/throttle_exempt"), QString(), &AgentConfig::httpThrottleExempt, false},
        {QStringLiteral("auth/port"), DefaultAuthPort, &AgentConfig::authPort, false},
        {QStringLiteral("auth/address"), DefaultAuthAddress, &AgentConfig::authAddress, false},
        {QStringLiteral("auth/realm"), Auth::DefaultRealm, &AgentConfig::authRealm, false},
        {QStringLiteral("auth/trusted_proxies"), DefaultAuthTrustedProxies, &AgentConfig::authTrustedProxies,
            false},
        {QStringLiteral("sql/host_retry"), Sql::DefaultHostRetrySeconds, &AgentConfig::sqlHostRetry, false},
        {QStringLiteral("sql/target"), DefaultSqlTarget, &AgentConfig::sqlTarget, false},
        {QStringLiteral("sql/rehash_query"), QString(), &AgentConfig::sqlRehashQuery, false},
        {QStringLiteral("sql/rehash_min"), DefaultRehashMin, &AgentConfig::sqlRehashMin, false},
        {QStringLiteral("sql/rehash_cost"), DefaultRehashCost, &AgentConfig::sqlRehashCost, false},
    };
    return keys;
}

QStringList rehashProblems(const AgentConfig &config)
{
    QStringList problems;
    if (config.sqlRehashQuery.isEmpty())
        return problems;
    const QStringList missing = Sql::missingCheckPlaceholders(config.sqlRehashQuery);
    if (!missing.isEmpty())
        problems << QStringLiteral("sql/rehash_query has no %1").arg(missing.join(QStringLiteral(" and ")));
    if (Passwords::formatNamed(config.sqlRehashMin) == Passwords::Format::Unknown)
        problems
            << QStringLiteral("sql/rehash_min %1 names no stored password format").arg(config.sqlRehashMin);
    else if (Passwords::needsRehash(
                 Passwords::hashBcrypt("-", Passwords::MinBcryptCost), config.sqlRehashMin))
        problems << QStringLiteral("sql/rehash_min %1 ranks above bcrypt, the format a rehash writes")
                        .arg(config.sqlRehashMin);
    if (config.sqlRehashCost < Passwords::MinBcryptCost || config.sqlRehashCost > Passwords::MaxBcryptCost)
        problems << QStringLiteral("sql/rehash_cost %1 is outside bcrypt's %2 to %3")
                        .arg(config.sqlRehashCost)
                        .arg(Passwords::MinBcryptCost)
                        .arg(Passwords::MaxBcryptCost);
    if (config.sqlPasswordColumn.isEmpty())
        problems << QStringLiteral("sql/rehash_query needs sql/password_column");
    return problems;
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
    for (const QString &key : findings.cutAtSemicolon)
        lines << prefix
                + QStringLiteral("%1 looks cut at a ';', which the INI reader takes for the start of a "
                                 "comment; put the whole value in double quotes")
                      .arg(key);
    if (!findings.secretProblem.isEmpty())
        lines << prefix + findings.secretProblem;
    for (const QString &why : findings.badAddresses)
        lines << prefix + why + QStringLiteral("; the list is taken as empty");
    for (const QString &why : findings.badServers)
        lines << prefix + why;
    for (const QString &warning : findings.secretWarnings)
        lines << prefix + warning;
    for (const QString &why : findings.rehashProblems)
        lines << prefix + why + QStringLiteral("; no stored password is rehashed");
    return lines;
}

QStringList refusals(const Findings &findings)
{
    QStringList reasons;
    if (!findings.iniFound)
        return {QStringLiteral("there is no tovr_merk.ini in %1").arg(findings.directory)};
    if (!findings.iniReadable)
        return {QStringLiteral("tovr_merk.ini cannot be read")};
    if (findings.iniEmpty)
        return {QStringLiteral("tovr_merk.ini is empty")};
    for (const QString &key : findings.readAsLists)
        reasons << QStringLiteral("%1 holds a comma outside double quotes").arg(key);
    if (!findings.availableDrivers.contains(findings.driver))
        reasons << QStringLiteral("sql/type %1 is not an available driver").arg(findings.driver);
    if (!findings.missingPlaceholders.isEmpty())
        reasons << QStringLiteral("sql/query has no %1")
                       .arg(findings.missingPlaceholders.join(QStringLiteral(" and ")));
    if (!findings.secretProblem.isEmpty())
        reasons << findings.secretProblem;
    reasons << findings.badAddresses;
    reasons << findings.badServers;
    reasons << findings.rehashProblems;
    return reasons;
}

QStringList keysGone(const Findings &inUse, const Findings &next)
{
    QStringList reasons;
    for (const QString &key : inUse.keys) {
        if (!next.keys.contains(key))
            reasons << QStringLiteral("%1 is gone from tovr_merk.ini; to change it, write the value wanted")
                           .arg(key);
    }
    return reasons;
}

namespace {
const QStringList &startOnlyKeys()
{
    static const QStringList keys {QStringLiteral("server/port"), QStringLiteral("http/port"),
        QStringLiteral("https/port"), QStringLiteral("admin/port"), QStringLiteral("admin/address"),
        QStringLiteral("http/max_connections"), QStringLiteral("app/key1"), QStringLiteral("app/key2"),
        QStringLiteral("app/config_host"), QStringLiteral("http/address"), QStringLiteral("https/address"),
        QStringLiteral("server/address"), QStringLiteral("http/proxy_protocol"),
        QStringLiteral("https/proxy_protocol"), QStringLiteral("http/trusted_proxies"),
        QStringLiteral("auth/port"), QStringLiteral("auth/address")};
    return keys;
}
} // namespace

QStringList readAtStartOnly(const AgentConfig &inUse, const AgentConfig &next)
{
    QStringList changed;
    for (const Key &key : table()) {
        if (startOnlyKeys().contains(key.name)
            && std::visit([&](auto member) { return inUse.*member != next.*member; }, key.member))
            changed << key.name;
    }
    return changed;
}

void keepStartOnly(const AgentConfig &inUse, AgentConfig &next)
{
    for (const Key &key : table()) {
        if (startOnlyKeys().contains(key.name))
            std::visit([&](auto member) { next.*member = inUse.*member; }, key.member);
    }
}

QStringList cutAtSemicolon(const QByteArray &iniText)
{
    // After the ';': blanks, then a name and '='.
    static const QRegularExpression nextOption(QStringLiteral("^\\s*[A-Za-z_][A-Za-z0-9_.-]*\\s*="));
    QStringList keys;
    QString section;
    for (const QByteArray &rawLine : iniText.split('\n')) {
        const QString line = QString::fromLatin1(rawLine).trimmed();
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            section = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')) || equals <= 0)
            continue;
        bool quoted = false;
        for (int i = equals + 1; i < line.size(); ++i) {
            const QChar c = line.at(i);
            if (c == QLatin1Char('"'))
                quoted = !quoted;
            else if (c == QLatin1Char('\\'))
                ++i; // an escaped character, a quote among them
            else if (c == QLatin1Char(';') && !quoted) {
                if (i > equals + 1 && nextOption.match(line.midRef(i + 1)).hasMatch()) {
                    const QString name = line.left(equals).trimmed();
                    keys << (section.isEmpty() || section == QLatin1String("General")
                            ? name
                            : section + QLatin1Char('/') + name);
                }
                break;
            }
        }
    }
    return keys;
}

SecretFile readSecretFile(const QString &path)
{
    SecretFile secret;
    const QFileInfo info(path);
    QFile file(path);
    if (!info.exists())
        secret.problem = QStringLiteral("does not exist");
    else if (!info.isFile()) // a pipe would hold the start until someone writes to it
        secret.problem = QStringLiteral("is not a regular file");
    else if (!file.open(QIODevice::ReadOnly))
        secret.problem = QStringLiteral("cannot be read: ") + file.errorString();
    if (!secret.problem.isEmpty())
        return secret;
    QByteArray line = file.readLine(MaxSecretBytes + 2);
    const bool whole = line.endsWith('\n') || file.atEnd();
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    secret.value = QString::fromUtf8(line);
    if (secret.value.isEmpty())
        secret.problem = QStringLiteral("is empty: the password is its first line");
    else if (!whole || line.size() > MaxSecretBytes)
        secret.problem = QStringLiteral("has a first line over %1 bytes").arg(MaxSecretBytes);
    struct stat status
    { };
    secret.readableByOthers
        = ::stat(QFile::encodeName(path).constData(), &status) == 0 && (status.st_mode & (S_IRGRP | S_IROTH));
    return secret;
}

} // namespace Settings

AgentLimits limitsFor(const AgentConfig &config, AgentLimits base)
{
    base.http.maxConnections = config.httpMaxConnections;
    base.passwords.threads = config.sqlHashThreads;
    base.throttle.failures = config.httpThrottle;
    base.clientThrottle.failures = config.httpThrottleClient;
    base.cache = {qMax(0, config.cacheTtl) * qint64(1000), qMax(0, config.cacheNegativeTtl) * qint64(1000),
        qMax(0, config.cacheStale) * qint64(1000), qMax(1, config.cacheSize)};
    base.pool.deadlineMs
        = config.sqlTimeout > 0 ? config.sqlTimeout * 1000 + ConnectionPool::DriverGraceMs : 0;
    // The dialog's connection is bounded by its socket; the pool's by the pool.
    base.database.socketDeadlineMs = base.pool.deadlineMs;
    base.pool.database = base.database;
    base.pool.database.socketDeadlineMs = 0;
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
void assign(QStringList &member, const QVariant &value)
{
    member.clear();
    for (const QString &item : value.toStringList())
        member << item.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (QString &item : member)
        item = item.trimmed();
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
QVariant saved(const QStringList &member)
{
    return member.join(QLatin1Char(','));
}
QVariant saved(const QByteArray &cipherKey)
{
    return QString::fromLatin1(cipherKey.toBase64());
}
} // namespace

namespace Settings {

namespace {
// The database password from sql/password_file, else the service manager's
// credential, else sql/password. sql/password is saved on close as the INI
// has it (empty when it has none), never a file's secret.
void readPassword(
    AgentConfig &config, bool iniHasPassword, const QString &credentialsDirectory, Findings *findings)
{
    // The file first, then the credential: a source that cannot be used is
    // said, and the next one is tried.
    QStringList sources;
    if (!config.sqlPasswordFile.isEmpty())
        sources << config.sqlPasswordFile;
    if (!credentialsDirectory.isEmpty()) {
        const QDir credentials(credentialsDirectory);
        if (!credentials.exists() && config.sqlPasswordFile.isEmpty())
            findings->secretProblem
                = QStringLiteral("%1 %2 is not a directory")
                      .arg(QLatin1String(CredentialsDirectoryVariable), credentialsDirectory);
        else if (credentials.exists(PasswordCredential))
            sources << credentials.filePath(PasswordCredential);
    }
    SecretFile secret;
    QString path, label;
    for (const QString &source : qAsConst(sources)) {
        path = source;
        label = (source == config.sqlPasswordFile ? QStringLiteral("sql/password_file ")
                                                  : QStringLiteral("the credential "))
            + source;
        secret = readSecretFile(source);
        if (secret.problem.isEmpty())
            break;
        if (findings->secretProblem.isEmpty())
            findings->secretProblem = label + QLatin1Char(' ') + secret.problem;
    }
    if (sources.isEmpty() || !secret.problem.isEmpty())
        return;
    if (secret.readableByOthers)
        findings->secretWarnings << label + QStringLiteral(" can be read by group or others; chmod 600 it");
    config.sqlSecretPassword = secret.value;
    config.sqlPasswordOrigin = path;
    if (!iniHasPassword)
        config.sqlPassword.clear();
}
} // namespace

QStringList serverProblems(const AgentConfig &config)
{
    QStringList problems;
    QString why;
    const bool odbc = config.sqlType == QLatin1String("QODBC");
    const auto servers = Sql::parseServerList(config.sqlHost, config.sqlPort, &why);
    const auto target = Sql::parseTarget(config.sqlTarget);
    // One host the list does not read (empty: the local socket; a scoped
    // IPv6 address) is the driver's to judge, as it always was.
    const bool asAList
        = config.sqlHost.contains(QLatin1Char(',')) || (target == Sql::Target::Primary && !odbc);
    if (!servers && asAList)
        problems << QStringLiteral("sql/host %1; it goes to the driver as it stands").arg(why);
    else if (servers && servers->size() > 1 && (config.sqlType == QLatin1String("QSQLITE") || odbc))
        problems << QStringLiteral(
            "sql/host lists %1 servers, but %2 finds its database through sql/dsn; the "
            "list is not used")
                        .arg(servers->size())
                        .arg(config.sqlType);
    if (odbc && !Sql::parseDsnList(config.sqlDsn, &why))
        problems << QStringLiteral("sql/dsn %1; it goes to the driver as it stands").arg(why);
    if (!target)
        problems << QStringLiteral("sql/target is \"%1\", neither any nor primary; any server is taken")
                        .arg(config.sqlTarget);
    else if (*target == Sql::Target::Primary && !odbc
        && Sql::readOnlyQuery(config.sqlType, QString()).isEmpty())
        problems << QStringLiteral("sql/target=primary cannot be told on %1; any server is taken")
                        .arg(config.sqlType);
    return problems;
}

AgentConfig read(const QString &path, Findings *findings, const QString &credentialsDirectory)
{
    AgentConfig config;
    QSettings ini(path, QSettings::IniFormat);
    for (const Key &key : table()) {
        QVariant value = ini.value(key.name, key.defaultValue);
        // A list of servers reads the same quoted or not.
        if (key.name == QLatin1String("sql/host") && value.type() == QVariant::StringList)
            value = value.toStringList().join(QLatin1Char(','));
        if (value.type() == QVariant::StringList
            && !std::holds_alternative<QStringList AgentConfig::*>(key.member))
            findings->readAsLists << key.name;
        std::visit([&](auto member) { assign(config.*member, value); }, key.member);
    }
    findings->keys = ini.allKeys();
    findings->iniFound = QFileInfo::exists(path);
    findings->directory = QDir::currentPath();
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray text = file.readAll();
        findings->iniEmpty = text.trimmed().isEmpty();
        findings->cutAtSemicolon = cutAtSemicolon(text);
    } else {
        findings->iniReadable = !findings->iniFound;
    }
    readPassword(config, ini.contains(QStringLiteral("sql/password")), credentialsDirectory, findings);
    for (const auto &[key, list] :
        {std::make_pair(QStringLiteral("http/trusted_proxies"), &config.httpTrustedProxies),
            std::make_pair(QStringLiteral("http/throttle_exempt"), &config.httpThrottleExempt),
            std::make_pair(QStringLiteral("auth/trusted_proxies"), &config.authTrustedProxies)}) {
        QString why;
        if (!Net::AddressBlocks::parse(list->join(QLatin1Char(',')), &why))
            findings->badAddresses << key + QStringLiteral(": ") + why;
    }
    findings->rehashProblems = rehashProblems(config);
    findings->badServers = serverProblems(config);
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
