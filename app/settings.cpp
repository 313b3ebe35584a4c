#include "settings.h"
#include "server.h"

#include <QRandomGenerator>
#include <QSettings>

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
    };
    return keys;
}

} // namespace Settings

QByteArray generateRandomKey()
{
    QByteArray key(Settings::RandomKeyBytes, Qt::Uninitialized);
    auto *words = reinterpret_cast<quint64 *>(key.data());
    QRandomGenerator::system()->fillRange(words, key.size() / int(sizeof(quint64)));
    return key;
}

void Server::readSettings()
{
    QSettings ini(Settings::IniPath, QSettings::IniFormat);
    for (const Settings::Key &key : Settings::table()) {
        const QVariant value = ini.value(key.name, key.defaultValue);
        if (const auto text = std::get_if<QString Server::*>(&key.member)) {
            this->**text = value.toString();
        } else if (const auto number = std::get_if<int Server::*>(&key.member)) {
            this->**number = value.toInt();
        } else {
            const QString base64 = value.toString();
            this->*std::get<QByteArray Server::*>(key.member) = base64 != QLatin1String("")
                ? QByteArray::fromBase64(base64.toLatin1())
                : generateRandomKey();
        }
    }
}

void Server::writeSettings()
{
    // The framework's per-user store, not the INI file: the INI is only ever read.
    QSettings store;
    store.beginGroup(QStringLiteral("MainWindow"));
    store.setValue(QStringLiteral("size"), size());
    store.setValue(QStringLiteral("pos"), pos());
    store.endGroup();
    for (const Settings::Key &key : Settings::table()) {
        if (!key.savedOnClose)
            continue;
        if (const auto text = std::get_if<QString Server::*>(&key.member))
            store.setValue(key.name, this->**text);
        else if (const auto number = std::get_if<int Server::*>(&key.member))
            store.setValue(key.name, this->**number);
        else
            store.setValue(key.name,
                QString::fromLatin1((this->*std::get<QByteArray Server::*>(key.member)).toBase64()));
    }
}
