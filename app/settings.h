#ifndef SETTINGS_H
#define SETTINGS_H

#include "panelfeed.h"
#include "provisioning.h"

#include "audit/auditlog.h"
#include "cache/verdictcache.h"
#include "db/pool.h"
#include "net/authrequest.h"
#include "net/httprequest.h"
#include "net/lookup.h"
#include "net/throttle.h"
#include "passwords/verifier.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <variant>
#include <vector>

class QSettings;

// The agent's configuration as read at start: one value, which the rest of
// the program reads and never changes.
struct AgentConfig
{
    QString sqlType;              // sql/type: the Qt SQL driver
    QString sqlHost;              // sql/host
    int sqlPort = 0;              // sql/port
    QString sqlDsn;               // sql/dsn: database name, file, DSN or connection string
    QString sqlUser;              // sql/user
    QString sqlPassword;          // sql/password: the INI's own (the per-user store gets this one)
    QString sqlQuery;             // sql/query: the check's and the lookup's statement
    QString sqlRetParam;          // sql/ret_param: the result column
    QString testQuery1;           // test/query1: run once after the database opens
    QString appKey1;              // app/key1: its first 16 characters are the cipher IV
    QByteArray cipherKey;         // app/key2, decoded; a fresh random key when empty
    int serverPort = 0;           // server/port: the lookup listener
    int httpPort = 0;             // http/port: the check listener
    QString configHost;           // app/config_host: the provisioning server
    int sqlTimeout = 0;           // sql/timeout: seconds a connection attempt or a statement may take
    QString sqlOptions;           // sql/options: the driver's connect options
    int sqlPool = 0;              // sql/pool: connections on threads of their own; 0: none
    QString sqlPasswordColumn;    // sql/password_column: the stored password's column; empty: the bound check
    int sqlHashThreads = 0;       // sql/hash_threads: threads verifying stored passwords; 0: one per core
    bool sqlWeakHashes = false;   // sql/weak_hashes: weak stored formats verify too
    bool httpUnavailable = false; // http/unavailable: 503 when the database could not answer
    int httpMaxConnections = 0;   // http/max_connections: open check connections at most
    int httpThrottle = 0;         // http/throttle: not-found answers per name before checks wait; 0: off
    int httpsPort = 0;            // https/port: the check over TLS; 0: none
    QString httpsCertificate;     // https/certificate: its certificate, PEM
    QString httpsKey;             // https/key: its private key, PEM
    int adminPort = 0;            // admin/port: the health and metrics listener; 0: none
    QString adminAddress;         // admin/address: where it listens
    int cacheTtl = 0;             // cache/ttl: seconds a found verdict answers from the cache; 0: no cache
    int cacheNegativeTtl = 0;     // cache/negative_ttl: the same for not found; 0: not cached
    int cacheStale = 0; // cache/stale: seconds past ttl a found verdict answers while the database cannot
    int cacheSize = 0;  // cache/size: entries at most
    QString sqlPasswordFile;         // sql/password_file: the database password is this file's first line
    QString httpAddress;             // http/address: where the check listener binds; empty: every address
    QString httpsAddress;            // https/address: the same for the TLS listener
    QString serverAddress;           // server/address: the same for the lookup listener
    QString logAudit;                // log/audit: the audit log's path, "-" standard error; empty: none
    bool logAuditUserId = false;     // log/audit_userid: the identifier found in the audit too
    bool httpProxyProtocol = false;  // http/proxy_protocol: trusted proxies send a PROXY header
    bool httpsProxyProtocol = false; // https/proxy_protocol: the same on the TLS listener
    QStringList httpTrustedProxies;  // http/trusted_proxies: CIDR blocks a PROXY header is taken from
    int httpThrottleClient = 0;      // http/throttle_client: not-found answers per address before checks wait
    QStringList httpThrottleExempt;  // http/throttle_exempt: CIDR blocks never throttled by address
    int authPort = 0;                // auth/port: the sign-in listener for reverse proxies; 0: none
    QString authAddress;             // auth/address: where it listens
    QString authRealm;               // auth/realm: the realm of its Basic challenge
    QStringList authTrustedProxies;  // auth/trusted_proxies: proxies whose X-Forwarded-For names the client
    int sqlHostRetry = 0;            // sql/host_retry: seconds new connections skip a server that failed
    QString sqlTarget;               // sql/target: any server, or "primary": one that takes writes
    QString sqlRehashQuery;          // sql/rehash_query: rewrites a found user's weaker value; empty: off
    QString sqlRehashMin;            // sql/rehash_min: stored formats below this one are rehashed
    int sqlRehashCost = 0;           // sql/rehash_cost: the bcrypt cost of a rehash

    // Not keys: the database password read from sql/password_file or the
    // service manager's credential, and that file's path (empty: sql/password
    // is the one in use). Never written anywhere.
    QString sqlSecretPassword;
    QString sqlPasswordOrigin;
    // The password the connection uses.
    const QString &databasePassword() const
    {
        return sqlPasswordOrigin.isEmpty() ? sqlPassword : sqlSecretPassword;
    }
};

// Every unit's limits and time-outs, handed down by the composition root.
struct AgentLimits
{
    Http::Limits http;
    Auth::Limits auth;
    Lookup::Limits lookup;
    Database::Limits database;
    ConnectionPool::Limits pool;
    Throttle::Limits throttle;
    Throttle::Limits clientThrottle; // the same rules, per client address
    Audit::Limits audit;
    Panel::Limits panel;
    Verifier::Limits passwords;
    Cache::Policy cache;
    int provisioningReplyMs = Provisioning::ReplyTimeoutMs;
};
// The limits the configuration sets, on top of base: the program's own, or
// the short time-outs a test passes.
AgentLimits limitsFor(const AgentConfig &config, AgentLimits base = AgentLimits());

namespace Settings {
// The agent's configuration, read once at start-up from its working directory.
inline const QString IniPath = QStringLiteral("./tovr_merk.ini");

inline const QString DefaultSqlType = QStringLiteral("QOCI");
inline const QString DefaultSqlHost = QStringLiteral("localhost");
constexpr int DefaultSqlPort = 1521;
inline const QString DefaultSqlDsn = QStringLiteral("q3");
inline const QString DefaultSqlUser = QStringLiteral("q3main");
inline const QString DefaultSqlPassword = QStringLiteral("rook");
inline const QString DefaultSqlQuery
    = QStringLiteral("select yres_id,yrms_shortdesc, yres_actarrtime, yres_expdeptime from yres "
                     "join xcms on xcms_id=yres_xcms_id join ydet on ydet_id=yres_current_ydet_id "
                     "left join yrms on ydet_yrms_id=yrms_id left join xpdc on xpdc_xcms_id=xcms_id "
                     "and xpdc_primary=1 where yres_id=%1 and yres_actarrtime IS NOT NULL");
inline const QString DefaultSqlRetParam = QStringLiteral("yres_id");
constexpr int DefaultServerPort = 18210;
constexpr int DefaultHttpPort = 8880;
inline const QString DefaultTestQuery1 = QStringLiteral("SELECT * FROM table1");
inline const QString DefaultAppKey1 = QStringLiteral("amberfieldsamplecode");
inline const QString DefaultConfigHost = QStringLiteral("localhost");
constexpr int DefaultSqlPool = 0;
constexpr int DefaultAdminPort = 0; // off
inline const QString DefaultAdminAddress = QStringLiteral("127.0.0.1");
constexpr int DefaultAuthPort = 0; // off
// Beside the proxy that asks it.
inline const QString DefaultAuthAddress = QStringLiteral("127.0.0.1");
inline const QString DefaultAuthTrustedProxies = QStringLiteral("127.0.0.1/32,::1/128");
// A rehash writes bcrypt: what stands below it is replaced, at the cost PHP
// and most frameworks now choose.
inline const QString DefaultRehashMin = QStringLiteral("bcrypt");
constexpr int DefaultRehashCost = 12;

inline const QString DefaultSqlTarget = QStringLiteral("any");

// Length of a generated cipher key (AES-256).
constexpr int RandomKeyBytes = 32;

// One key of the INI file and where it goes. The member's type says how the
// value is read: a string, an integer (0 when not a number), a truth value
// ("true"/"1"; "false", "0" or empty are false), a list (of comma-separated
// values, quoted or not), or, for the cipher key, base64 text that is decoded
// (empty: a random key).
struct Key
{
    QString name;          // "section/name"
    QVariant defaultValue; // a QString, an int or a bool
    std::variant<QString AgentConfig::*, int AgentConfig::*, bool AgentConfig::*, QByteArray AgentConfig::*,
        QStringList AgentConfig::*>
        member;
    bool savedOnClose; // written to the per-user store when the dialog closes
};

// Every key, in the order readSettings reads them; writeSettings saves those
// marked savedOnClose, in the same order.
const std::vector<Key> &table();

// What a start learned about the configuration it read.
struct Findings
{
    bool iniFound = true;
    bool iniReadable = true; // found, and could be opened
    bool iniEmpty = false;   // found, and holds nothing
    QString directory;       // where the INI file was looked for
    QStringList readAsLists; // keys whose value held an unquoted comma
    QString driver;          // sql/type
    QStringList availableDrivers;
    QStringList missingPlaceholders; // of the credential check in sql/query
    QStringList cutAtSemicolon;      // keys whose value the INI reader cut at a ';'
    QStringList badAddresses;        // a list of address blocks that does not read: key and why
    QStringList badServers;          // sql/host or sql/target that cannot be used as written: why
    QStringList keys;                // every key the file sets
    // A password file that is there to be used but cannot be, or a
    // credentials directory that is not there: why. Nobody can fix it at a
    // headless start, so that start ends.
    QString secretProblem;
    QStringList secretWarnings; // a password file others may read
    QStringList rehashProblems; // why sql/rehash_query cannot run (rehashProblems)
};
// Why the rehash after a found check cannot run as configured, one reason a
// line naming the key: sql/rehash_query without :s1 or :s2 (it would write one
// hash to every row, or a fixed text), sql/rehash_min naming no format or one
// above the bcrypt a rehash writes (every sign-in would rehash again),
// sql/rehash_cost outside bcrypt's range, no sql/password_column. Empty when
// it is off (no sql/rehash_query) or sound.
QStringList rehashProblems(const AgentConfig &config);

// One "[e] config: ..." line per problem, each saying what to do about it.
QStringList problems(const Findings &findings);

// Why a reload does not take the configuration it read, one reason a line,
// each naming the key; empty when it takes it. A start takes any
// configuration (the defaults fill what is missing), a reload only a sound
// one: the file there and readable, values not read as lists, an available
// driver, a check statement with its placeholders, a usable password file.
// The caller leaves out what the configuration in use has as well.
QStringList refusals(const Findings &findings);

// Keys the file in use sets that the next file does not: a file cut short
// while it was written, say, which would put defaults in their place. One
// reason a line, as refusals() gives them.
QStringList keysGone(const Findings &inUse, const Findings &next);

// The keys whose value is bound or sent at start only (ports, addresses,
// provisioning) that differ between the configuration in use and next.
QStringList readAtStartOnly(const AgentConfig &inUse, const AgentConfig &next);
// ... and those keys of next set back to the values in use.
void keepStartOnly(const AgentConfig &inUse, AgentConfig &next);

// Why sql/host and sql/target cannot be used as written, one reason a line:
// a list that does not read, a list for a driver that takes no host, a
// target that is neither, or primary where the driver cannot tell.
QStringList serverProblems(const AgentConfig &config);

// The keys of the INI text whose value the INI reader cuts short: it takes a
// ';' outside double quotes for the start of a comment, so
// options=sslmode=verify-full;sslrootcert=/x reads "sslmode=verify-full".
// A value looks cut when the ';' stands right after it and what follows reads
// as another "name=" rather than a comment.
QStringList cutAtSemicolon(const QByteArray &iniText);

// Where the service manager hands the agent its credentials
// (systemd's LoadCredential=), and the name of the database password's file there.
inline const char CredentialsDirectoryVariable[] = "CREDENTIALS_DIRECTORY";
inline const QString PasswordCredential = QStringLiteral("sql_password");

// A secret kept in a file: its first line without the line end. problem says
// why the file cannot be used (it is missing, unreadable or its first line
// empty); readableByOthers, that group or others may read it.
struct SecretFile
{
    QString value;
    QString problem;
    bool readableByOthers = false;
};
SecretFile readSecretFile(const QString &path);
// What of a secret file is read: its first line, up to this many bytes.
constexpr int MaxSecretBytes = 4096;

// Every key of the INI file at path, its default where the file lacks it;
// what the reading learned goes into *findings. The database password comes
// from sql/password_file, else from the file sql_password in
// credentialsDirectory (when not empty), else from sql/password.
AgentConfig read(const QString &path, Findings *findings,
    const QString &credentialsDirectory = QString::fromLocal8Bit(qgetenv(CredentialsDirectoryVariable)));
// The keys marked savedOnClose, into the per-user store.
void write(const AgentConfig &config, QSettings &store);
} // namespace Settings

// 32 bytes from the system's cryptographically secure generator.
QByteArray generateRandomKey();

#endif // SETTINGS_H
