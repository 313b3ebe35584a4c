#include "settings.h"
#include "server.h"

#include <QRandomGenerator>
#include <QSettings>

QByteArray generateRandomKey()
{
    QByteArray key(Settings::RandomKeyBytes, Qt::Uninitialized);
    auto *words = reinterpret_cast<quint64 *>(key.data());
    QRandomGenerator::system()->fillRange(words, key.size() / int(sizeof(quint64)));
    return key;
}

void Server::readSettings()
{
    using namespace Settings;
    QSettings ini(IniPath, QSettings::IniFormat);
    sqlType = ini.value(QStringLiteral("sql/type"), DefaultSqlType).toString();
    sqlHost = ini.value(QStringLiteral("sql/host"), DefaultSqlHost).toString();
    sqlPort = ini.value(QStringLiteral("sql/port"), DefaultSqlPort).toInt();
    sqlDsn = ini.value(QStringLiteral("sql/dsn"), DefaultSqlDsn).toString();
    sqlUser = ini.value(QStringLiteral("sql/user"), DefaultSqlUser).toString();
    sqlPassword = ini.value(QStringLiteral("sql/password"), DefaultSqlPassword).toString();
    sqlQuery = ini.value(QStringLiteral("sql/query"), DefaultSqlQuery).toString();
    sqlRetParam = ini.value(QStringLiteral("sql/ret_param"), DefaultSqlRetParam).toString();
    serverPort = ini.value(QStringLiteral("server/port"), DefaultServerPort).toInt();
    httpPort = ini.value(QStringLiteral("http/port"), DefaultHttpPort).toInt();
    testQuery1 = ini.value(QStringLiteral("test/query1"), DefaultTestQuery1).toString();
    appKey1 = ini.value(QStringLiteral("app/key1"), DefaultAppKey1).toString();
    configHost = ini.value(QStringLiteral("app/config_host"), DefaultConfigHost).toString();

    const QString key2 = ini.value(QStringLiteral("app/key2"), QString()).toString();
    if (key2 != QLatin1String(""))
        cipherKey = QByteArray::fromBase64(key2.toLatin1());
    else
        cipherKey = generateRandomKey();
}

void Server::writeSettings()
{
    // The framework's per-user store, not the INI file: the INI is only ever read.
    QSettings store;
    store.beginGroup(QStringLiteral("MainWindow"));
    store.setValue(QStringLiteral("size"), size());
    store.setValue(QStringLiteral("pos"), pos());
    store.endGroup();
    store.setValue(QStringLiteral("sql/type"), sqlType);
    store.setValue(QStringLiteral("sql/host"), sqlHost);
    store.setValue(QStringLiteral("sql/port"), sqlPort);
    store.setValue(QStringLiteral("sql/dsn"), sqlDsn);
    store.setValue(QStringLiteral("sql/user"), sqlUser);
    store.setValue(QStringLiteral("sql/password"), sqlPassword);
    store.setValue(QStringLiteral("sql/query"), sqlQuery);
    store.setValue(QStringLiteral("sql/ret_param"), sqlRetParam);
    store.setValue(QStringLiteral("test/query1"), testQuery1);
    store.setValue(QStringLiteral("server/port"), serverPort);
    store.setValue(QStringLiteral("app/key1"), appKey1);
    store.setValue(QStringLiteral("app/key2"), QString::fromLatin1(cipherKey.toBase64()));
}
