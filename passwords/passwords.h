#ifndef PASSWORDS_H
#define PASSWORDS_H

#include <QByteArray>
#include <QList>
#include <QString>

// Stored passwords: which format a stored value is in, recognised by its
// prefix or, where it has none, by its whole shape, and whether a password
// matches it. Each format is one row of a table in passwords.cpp: its name,
// the application that writes it, whether it is weak, a pure parse that gives
// its parameters or a short reason, and a verify. Formats are verified with
// libraries made for them: libxcrypt for the crypt(3) family, libargon2 for
// Argon2, OpenSSL's libcrypto for PBKDF2, scrypt and the iterated digests, Qt
// for the single digests. Derived values are compared in constant time.
// Verifying is slow on purpose: never on the dialog's thread (see Verifier).
namespace Passwords {

// ---- Limits ------------------------------------------------------------------
// Parameters past these are refused as malformed before any work: a hostile
// row must not stall the agent.
constexpr int MaxBcryptCost = 16;
constexpr quint32 MaxArgon2MemoryKiB = 1024 * 1024; // 1 GiB
// Memory times passes: 1 GiB four times over, or a small memory many times.
constexpr quint64 MaxArgon2WorkKiB = 4ull * MaxArgon2MemoryKiB;
constexpr quint32 MaxArgon2Lanes = 16; // each a thread while it verifies
// scrypt (crypt's $7$, Werkzeug's, Django's, Spring's) and yescrypt: 128 r N
// bytes at most, and no more work (N r p) than the costliest setting mkpasswd
// makes (N 2^18, r 32, p 1).
constexpr quint64 MaxScryptMemoryBytes = 1ull << 30;
constexpr quint64 MaxScryptWork = (1ull << 18) * 32;
constexpr qint64 MaxPbkdf2Iterations = 10'000'000;
constexpr qint64 MaxShaCryptRounds = 10'000'000; // libxcrypt takes up to 999,999,999
// phpass and Drupal 7 store the log2 of their count (7 to 30). 2^24 digests
// cost about what the PBKDF2 ceiling does; 2^30 would hold a thread for
// minutes. WordPress writes 2^13, Drupal 7 2^15.
constexpr int MaxPhpassLog2Rounds = 24;
// Werkzeug's count when a value leaves it out: Werkzeug 2.2's default.
constexpr qint64 WerkzeugDefaultIterations = 260'000;
// bcrypt costs hashBcrypt makes: libxcrypt's least, and the ceiling.
constexpr int MinBcryptCost = 4;
// bcrypt reads this much of a password: a value made of a longer one would
// take any password that begins alike, so hashBcrypt makes none.
constexpr int MaxBcryptPasswordBytes = 72;

// ---- Formats -----------------------------------------------------------------
// A format is a row of the table; Format numbers the rows, so a new format is
// a row and a function, with no name to add here.
enum class Format : int { Unknown = -1 };

Format formatOf(const QByteArray &stored);
// The format of that name() (e.g. a setting's "bcrypt"), or Unknown.
Format formatNamed(const QString &name);
// Every format, in the table's order.
QList<Format> formats();
// Its short name, for metrics and the debug output: "bcrypt", "phpass", ...
QString name(Format format);
// The applications that write it: "WordPress, phpBB (phpass)", ...
QString writtenBy(Format format);
// Verified only with sql/weak_hashes=true.
bool isWeak(Format format);
// What a log may say of a stored value: the prefix of its known format, never
// a character of the value itself (a value of no known format may well be a
// password in clear).
QString prefixOf(const QByteArray &stored);

// ---- Parsing -----------------------------------------------------------------
enum class Digest { Md5, Sha1, Sha256, Sha512 };

// A stored value read by its format's parse: the parameters of its
// verification, or why it cannot be verified.
struct Parsed
{
    Format format = Format::Unknown;
    const char *reason = nullptr; // a short fixed text; null when it can be verified
    // Roughly how many digest blocks a verification costs, so that a caller
    // (the fuzzer) can bound its own work; every parameter in it is within
    // the limits above once reason is null.
    quint64 work = 0;
    Digest digest = Digest::Sha256; // PBKDF2's PRF, or the digest iterated
    qint64 iterations = 0;          // PBKDF2's count, an iterated digest's, scrypt's N
    quint32 blockSize = 0;          // scrypt's r
    quint32 parallelism = 0;        // scrypt's p
    int variant = 0;                // Argon2's type
    QByteArray salt;
    QByteArray expected; // what the right password derives: raw bytes, or the whole encoded value
    QByteArray inner;    // a value another verifier reads: a crypt(3) setting, an Argon2 string
};

Parsed parse(const QByteArray &stored);

// ---- Verifying -----------------------------------------------------------------
enum class Result {
    Match,
    Mismatch,
    Malformed, // unreadable, or parameters past the limits
    Refused,   // a weak format, and weak formats are not allowed
    Unknown,   // no format this agent knows
};
QString name(Result result);

struct Checked
{
    Result result = Result::Unknown;
    QString reason; // for Malformed: a short fixed text the caller may say
};

// userName: the name the check is for; only PostgreSQL's md5 reads it.
Checked check(const QByteArray &password, const QByteArray &stored, bool allowWeak,
    const QByteArray &userName = QByteArray());
Result verify(const QByteArray &password, const QByteArray &stored, bool allowWeak,
    const QByteArray &userName = QByteArray());

// True when a and b hold the same bytes; the time depends on their length only.
bool constantTimeEqual(const QByteArray &a, const QByteArray &b);

// ---- Rehashing -----------------------------------------------------------------
// A fresh "$2b$" value of password at cost (MinBcryptCost to MaxBcryptCost),
// with a salt from the system's random source; empty when it cannot be made
// (a cost out of range, a password holding a NUL byte or longer than
// MaxBcryptPasswordBytes).
QByteArray hashBcrypt(const QByteArray &password, int cost);
// True when stored is worth replacing with a value in the format named
// minimum: it is weak, or of a weaker kind (clear < single digest < iterated
// digest < bcrypt < memory-hard). False for a value of no known format, and
// for a minimum that names none.
bool needsRehash(const QByteArray &stored, const QString &minimum = QStringLiteral("bcrypt"));

} // namespace Passwords

#endif // PASSWORDS_H
