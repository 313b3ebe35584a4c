#include "settings.h"
#include "server.h"

#include "db/sqlrules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSettings>

#include <sys/stat.h>

namespace Settings {

const std::vector<Key> &table()
{
    static const std::vector<Key> keys {
        {QStringLiteral("sql/type"), DefaultSqlType, &Server::sqlType, true},
        {QStringLiteral("sql/host"), DefaultSqlHost, &Server::sqlHost, true},
        {QStringLiteral("sql/port"), DefaultSqlPort, &Server::sqlPort, true},
        {QStringLiteral("sql/dsn"), DefaultSqlDsn, &Server::sqlDsn, true},
        {QStringLiteral("sql/user"), DefaultSqlUser, &Server::sqlUser, true},
        {QStringLiteral("sql/password"), DefaultSqlPassword, &Server::sqlPassword, true},
        {QStringLiteral("sql/query"), DefaultSqlQuery, &Server::sqlQuery, true},
        {QStringLiteral("sql/ret_param"), DefaultSqlRetParam, &Server::sqlRetParam, true},
        {QStringLiteral("server/port"), DefaultServerPort, &Server::serverPort, true},
        {QStringLiteral("http/port"), DefaultHttpPort, &Server::httpPort, false},
        {QStringLiteral("test/query1"), DefaultTestQuery1, &Server::testQuery1, true},
        {QStringLiteral("app/key1"), DefaultAppKey1, &Server::appKey1, true},
        {QStringLiteral("app/key2"), QString(), &Server::cipherKey, true},
        {QStringLiteral("app/config_host"), DefaultConfigHost, &Server::configHost, false},
        {QStringLiteral("sql/timeout"), Sql::DefaultTimeoutSeconds, &Server::sqlTimeout, false},
        {QStringLiteral("sql/options"), QString(), &Server::sqlOptions, false},
        {QStringLiteral("sql/pool"), DefaultSqlPool, &Server::sqlPool, false},
        {QStringLiteral("http/unavailable"), false, &Server::httpUnavailable, false},
        {QStringLiteral("http/max_connections"), Http::MaxConnections, &Server::httpMaxConnections, false},
        {QStringLiteral("http/throttle"), 0, &Server::httpThrottle, false},
        {QStringLiteral("https/port"), 0, &Server::httpsPort, false},
        {QStringLiteral("https/certificate"), QString(), &Server::httpsCertificate, false},
        {QStringLiteral("https/key"), QString(), &Server::httpsKey, false},
        {QStringLiteral("admin/port"), DefaultAdminPort, &Server::adminPort, false},
        {QStringLiteral("admin/address"), DefaultAdminAddress, &Server::adminAddress, false},
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

void Server::readSettings()
{
    QSettings ini(Settings::IniPath, QSettings::IniFormat);
    for (const Settings::Key &key : Settings::table()) {
        const QVariant value = ini.value(key.name, key.defaultValue);
        if (value.type() == QVariant::StringList)
            findings.readAsLists << key.name;
        std::visit([&](auto member) { assign(this->*member, value); }, key.member);
    }
    findings.iniFound = QFileInfo::exists(Settings::IniPath);
    findings.directory = QDir::currentPath();
}

void Server::writeSettings()
{
    // The framework's per-user store, not the INI file: the INI is only ever
    // read. It holds the database password and the cipher key, so it is the
    // owner's alone: created so (umask) and kept so (an older file).
    const mode_t umask = ::umask(077);
    QSettings store;
    store.beginGroup(QStringLiteral("MainWindow"));
    store.setValue(QStringLiteral("size"), size());
    store.setValue(QStringLiteral("pos"), pos());
    store.endGroup();
    for (const Settings::Key &key : Settings::table()) {
        if (key.savedOnClose)
            std::visit([&](auto member) { store.setValue(key.name, saved(this->*member)); }, key.member);
    }
    store.sync();
    ::umask(umask);
    QFile::setPermissions(store.fileName(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}
