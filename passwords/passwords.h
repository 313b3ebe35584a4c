#ifndef PASSWORDS_H
#define PASSWORDS_H

#include <QByteArray>
#include <QString>

// Stored passwords: which format a stored value is in, recognised by its
// prefix, and whether a password matches it. Every format is verified by a
// library made for it: libxcrypt for the crypt(3) family, libargon2 for
// Argon2, Qt for PBKDF2 and the salted SHA digests. Derived values are
// compared in constant time. Verifying is slow on purpose: never on the
// dialog's thread (see Verifier).
namespace Passwords {

// ---- Limits ------------------------------------------------------------------
// Parameters past these are refused as malformed: a hostile row must not
// stall the agent.
constexpr int MaxBcryptCost = 16;
constexpr quint32 MaxArgon2MemoryKiB = 1024 * 1024; // 1 GiB
// Memory times passes: 1 GiB four times over, or a small memory many times.
constexpr quint64 MaxArgon2WorkKiB = 4ull * MaxArgon2MemoryKiB;
constexpr quint32 MaxArgon2Lanes = 16; // each a thread while it verifies
// scrypt and yescrypt: 128 r N bytes at most, and no more work (N r p) than
// the costliest setting mkpasswd makes (N 2^18, r 32, p 1).
constexpr quint64 MaxScryptMemoryBytes = 1ull << 30;
constexpr quint64 MaxScryptWork = (1ull << 18) * 32;
constexpr qint64 MaxPbkdf2Iterations = 10'000'000;
constexpr qint64 MaxShaCryptRounds = 10'000'000; // libxcrypt takes up to 999,999,999

// ---- Formats -----------------------------------------------------------------
enum class Format {
    Bcrypt,       // $2a$ $2b$ $2y$
    Yescrypt,     // $y$
    Scrypt,       // $7$
    Sha512Crypt,  // $6$
    Sha256Crypt,  // $5$
    Argon2id,     // $argon2id$
    Argon2i,      // $argon2i$
    Pbkdf2Sha256, // pbkdf2_sha256$iterations$salt$hash (web frameworks' form)
    Pbkdf2Mcf256, // $pbkdf2-sha256$rounds$salt$checksum (modular crypt form)
    Pbkdf2Mcf512, // $pbkdf2-sha512$...
    Ssha,         // {SSHA}, {SSHA256}, {SSHA512}: base64 of digest then salt
    Ssha256,
    Ssha512,
    Plain, // {PLAIN} or {CLEAR}: the password as it is
    // Weak: verified only when sql/weak_hashes allows it.
    Md5Crypt, // $1$
    DesCrypt, // 13 characters of ./0-9A-Za-z
    Sha,      // {SHA}: unsalted
    Md5,      // {MD5}: unsalted
    Unknown,
};

Format formatOf(const QByteArray &stored);
// Its short name, for metrics and the debug output: "bcrypt", "argon2id", ...
QString name(Format format);
bool isWeak(Format format);
// What a log may say of a stored value: the prefix of its known format, never
// a character of the value itself (a value of no known format may well be a
// password in clear).
QString prefixOf(const QByteArray &stored);

// ---- Verifying -----------------------------------------------------------------
enum class Result {
    Match,
    Mismatch,
    Malformed, // unreadable, or parameters past the limits
    Refused,   // a weak format, and weak formats are not allowed
    Unknown,   // no format this agent knows
};
QString name(Result result);

Result verify(const QByteArray &password, const QByteArray &stored, bool allowWeak);

// True when a and b hold the same bytes; the time depends on their length only.
bool constantTimeEqual(const QByteArray &a, const QByteArray &b);

} // namespace Passwords

#endif // PASSWORDS_H
