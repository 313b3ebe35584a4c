#include "passwords.h"

#include <QCryptographicHash>
#include <QRegularExpression>

#include <argon2.h>
#include <crypt.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <optional>

namespace Passwords {

namespace {

// ---- Reasons -------------------------------------------------------------------
// Short and fixed: a log line may hold one, and never a character of the value.
namespace Why {
const char *const Fields = "fields missing or extra";
const char *const Number = "not a number where a count belongs";
const char *const BelowOne = "a count below one";
const char *const Iterations = "iterations past the ceiling";
const char *const BcryptCost = "bcrypt cost past the ceiling";
const char *const Rounds = "rounds past the ceiling";
const char *const RoundsRange = "rounds outside the format's range";
const char *const Scrypt = "scrypt memory or work past the ceiling";
const char *const ScryptN = "scrypt N not a power of two";
const char *const Yescrypt = "yescrypt parameters mkpasswd does not write";
const char *const Argon2 = "Argon2 memory, passes or lanes past the ceiling";
const char *const Length = "salt or digest of the wrong length";
const char *const Hex = "not hex where hex belongs";
const char *const Base64 = "not base64 where base64 belongs";
const char *const Alphabet = "characters outside the format's alphabet";
const char *const UnknownDigest = "a digest this agent does not verify";
const char *const Inner = "not the value the format wraps";
const char *const Nul = "holds a NUL byte";
const char *const Crypt = "refused by crypt(3)";
const char *const Library = "refused by the hashing library";
const char *const UserName = "needs the user name";
const char *const Weak = "a weak format, and sql/weak_hashes is off";
const char *const NoFormat = "of no known format";
} // namespace Why

// ---- Layouts -------------------------------------------------------------------
// What a format fixes rather than stores; the applications' own constants.
constexpr int PhpassLength = 34; // "$P$", count, 8 of salt, 22 of digest
constexpr int DrupalLength = 55; // Drupal 7 cuts its SHA-512 value to 55
constexpr int PhpassMinLog2Rounds = 7;
constexpr int PhpassMaxLog2Rounds = 30;
constexpr qint64 AtlassianIterations = 10'000; // {PKCS5S2}: PBKDF2-HMAC-SHA1
constexpr int AtlassianSaltBytes = 16;
constexpr int AtlassianKeyBytes = 32;
constexpr qint64 IdentityV2Iterations = 1'000; // ASP.NET Identity v2: PBKDF2-HMAC-SHA1
constexpr int IdentityV3Header = 13;           // 0x01, PRF, count, salt length
constexpr int IdentityMinSaltBytes = 16;
constexpr int IdentityV2SaltBytes = 16;
constexpr int IdentitySubkeyBytes = 32;
constexpr int SpringKeyBytes = 32;       // Spring's PBKDF2 and scrypt keys
constexpr int SpringPbkdf2SaltBytes = 8; // {pbkdf2}: Spring Security 5's defaults
constexpr qint64 SpringPbkdf2Iterations = 185'000;
constexpr int SpringV58Pbkdf2SaltBytes = 16; // {pbkdf2@SpringSecurity_v5_8}
constexpr qint64 SpringV58Pbkdf2Iterations = 310'000;
constexpr int SpringSha256SaltBytes = 8;            // {sha256}: StandardPasswordEncoder
constexpr qint64 SpringSha256Iterations = 1'024;    // ... digests of the salted password
constexpr int WerkzeugAndDjangoScryptKeyBytes = 64; // both ask hashlib.scrypt for 64
constexpr int Md5CryptRounds = 1'000;
constexpr int Md5CryptMaxSalt = 8;

// Rough digest blocks per unit of each primitive, for Parsed::work.
constexpr quint64 BcryptBlocksPerRound = 1024;
constexpr quint64 ScryptBlocksPerUnit = 4; // per N r p
constexpr quint64 Argon2BlocksPerKiB = 8;

// ---- Text ----------------------------------------------------------------------

// The 64 characters crypt(3) encodes with, in the order of their values.
const char Crypt64[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

int cryptDigit(char c)
{
    const char *at = c ? std::strchr(Crypt64, c) : nullptr;
    return at ? int(at - Crypt64) : -1;
}

// n characters of crypt(3)'s base64 for the low bits of v, least significant first.
void appendCrypt64(QByteArray &out, quint32 v, int n)
{
    for (; n > 0; --n, v >>= 6)
        out += Crypt64[v & 0x3f];
}

// phpass's encode64: three bytes at a time, little-endian, a short group in
// one character more than its bytes.
QByteArray phpassBase64(const QByteArray &raw)
{
    QByteArray out;
    for (int i = 0; i < raw.size(); i += 3) {
        quint32 v = 0;
        const int n = qMin(3, raw.size() - i);
        for (int k = 0; k < n; ++k)
            v |= quint32(quint8(raw.at(i + k))) << (8 * k);
        appendCrypt64(out, v, n + 1);
    }
    return out;
}

// The value without the blanks a CHAR(n) column pads it with: no hash holds
// them (a clear text may, and keeps them).
QByteArray withoutPadding(const QByteArray &stored)
{
    int n = stored.size();
    while (n > 0 && stored.at(n - 1) == ' ')
        --n;
    return stored.left(n);
}

// A count as the values write it: decimal digits only, no sign, no blanks.
std::optional<qint64> decimal(const QByteArray &text)
{
    if (text.isEmpty() || text.size() > 18)
        return std::nullopt;
    qint64 n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

bool isHex(const QByteArray &text)
{
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

// QByteArray::fromHex skips what is not hex; these values must be nothing else.
std::optional<QByteArray> fromHex(const QByteArray &text)
{
    if (text.size() % 2 || !isHex(text))
        return std::nullopt;
    return QByteArray::fromHex(text);
}

std::optional<quint64> hexNumber(const QByteArray &text)
{
    if (text.isEmpty() || text.size() > 15 || !isHex(text))
        return std::nullopt;
    return text.toULongLong(nullptr, 16);
}

std::optional<QByteArray> fromBase64(const QByteArray &text)
{
    const QByteArray::FromBase64Result r
        = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (r.decodingStatus != QByteArray::Base64DecodingStatus::Ok)
        return std::nullopt;
    return r.decoded;
}

// passlib's "adapted base64": '.' for '+', no padding.
std::optional<QByteArray> fromAb64(QByteArray text)
{
    return fromBase64(text.replace('.', '+'));
}

quint32 bigEndian32(const QByteArray &raw, int at)
{
    quint32 v = 0;
    for (int i = 0; i < 4; ++i)
        v = (v << 8) | quint8(raw.at(at + i));
    return v;
}

// ---- Digests and key derivations -------------------------------------------------

const EVP_MD *evp(Digest digest)
{
    switch (digest) {
    case Digest::Md5:
        return EVP_md5();
    case Digest::Sha1:
        return EVP_sha1();
    case Digest::Sha256:
        return EVP_sha256();
    case Digest::Sha512:
        break;
    }
    return EVP_sha512();
}

int digestLength(Digest digest)
{
    return EVP_MD_get_size(evp(digest));
}

QByteArray hashOf(Digest digest, const QByteArray &data)
{
    static const QCryptographicHash::Algorithm Algorithms[] = {QCryptographicHash::Md5,
        QCryptographicHash::Sha1, QCryptographicHash::Sha256, QCryptographicHash::Sha512};
    return QCryptographicHash::hash(data, Algorithms[int(digest)]);
}

std::optional<Digest> digestNamed(const QByteArray &name)
{
    if (name == "sha1")
        return Digest::Sha1;
    if (name == "sha256")
        return Digest::Sha256;
    if (name == "sha512")
        return Digest::Sha512;
    return std::nullopt;
}

// d = H(first), then count times d = H(d + suffix): phpass's and Spring's loop.
// One context serves every round, so a round costs the digest and no more.
QByteArray iterated(Digest digest, const QByteArray &first, const QByteArray &suffix, qint64 count)
{
    const EVP_MD *md = evp(digest);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    bool ok = context && EVP_DigestInit_ex(context.get(), md, nullptr)
        && EVP_DigestUpdate(context.get(), first.constData(), size_t(first.size()))
        && EVP_DigestFinal_ex(context.get(), d, &n);
    for (qint64 i = 0; ok && i < count; ++i) {
        ok = EVP_DigestInit_ex(context.get(), md, nullptr) && EVP_DigestUpdate(context.get(), d, n)
            && EVP_DigestUpdate(context.get(), suffix.constData(), size_t(suffix.size()))
            && EVP_DigestFinal_ex(context.get(), d, &n);
    }
    return ok ? QByteArray(reinterpret_cast<const char *>(d), int(n)) : QByteArray();
}

QByteArray pbkdf2(
    Digest digest, const QByteArray &password, const QByteArray &salt, qint64 iterations, int length)
{
    QByteArray key(length, Qt::Uninitialized);
    const int ok = PKCS5_PBKDF2_HMAC(password.constData(), password.size(),
        reinterpret_cast<const unsigned char *>(salt.constData()), salt.size(), int(iterations), evp(digest),
        length, reinterpret_cast<unsigned char *>(key.data()));
    return ok == 1 ? key : QByteArray();
}

QByteArray scrypt(
    const QByteArray &password, const QByteArray &salt, quint64 n, quint64 r, quint64 p, int length)
{
    // OpenSSL refuses to use more than maxmem: exactly what these N, r, p need.
    const quint64 memory = 128 * r * (n + 2) + 128 * r * p;
    QByteArray key(length, Qt::Uninitialized);
    const int ok = EVP_PBE_scrypt(password.constData(), size_t(password.size()),
        reinterpret_cast<const unsigned char *>(salt.constData()), size_t(salt.size()), n, r, p, memory,
        reinterpret_cast<unsigned char *>(key.data()), size_t(length));
    return ok == 1 ? key : QByteArray();
}

// MD5-crypt with Apache's magic "$apr1$" (libxcrypt knows only "$1$"): a
// thousand rounds that mix password, salt and digest in a fixed pattern, and
// the digest's bytes written in the format's own order.
QByteArray md5Crypt(const QByteArray &magic, const QByteArray &password, const QByteArray &salt)
{
    const auto md5
        = [](const QByteArray &data) { return QCryptographicHash::hash(data, QCryptographicHash::Md5); };
    const QByteArray alternate = md5(password + salt + password);
    QByteArray first = password + magic + salt;
    for (int left = password.size(); left > 0; left -= 16)
        first += alternate.left(qMin(left, 16));
    for (int i = password.size(); i; i >>= 1)
        first += i & 1 ? QByteArray(1, '\0') : password.left(1);
    QByteArray digest = md5(first);
    for (int i = 0; i < Md5CryptRounds; ++i) {
        QByteArray round = i & 1 ? password : digest;
        if (i % 3)
            round += salt;
        if (i % 7)
            round += password;
        round += i & 1 ? digest : password;
        digest = md5(round);
    }
    const auto byte = [&digest](int i) { return quint32(quint8(digest.at(i))); };
    static const int Order[][3] = {{0, 6, 12}, {1, 7, 13}, {2, 8, 14}, {3, 9, 15}, {4, 10, 5}};
    QByteArray out = magic + salt + '$';
    for (const auto &o : Order)
        appendCrypt64(out, byte(o[0]) << 16 | byte(o[1]) << 8 | byte(o[2]), 4);
    appendCrypt64(out, byte(11), 2);
    return out;
}

// ---- Rows ----------------------------------------------------------------------

enum class Match {
    Prefix,   // the value starts with one of the row's prefixes
    Caseless, // ... a "{NAME}" prefix in any case, as LDAP and Dovecot read it
    Shape,    // no prefix: the whole value has the row's shape
};

// What rehashing ranks formats by (needsRehash), weakest first.
enum class Tier { Clear, Digest, Iterated, Bcrypt, MemoryHard };

struct Attempt
{
    const QByteArray &password;
    const QByteArray &userName;
};

struct Scheme;
using Shape = bool (*)(const QByteArray &value);
// value: the whole stored value, blanks cut; body: what follows the prefix.
using Parse = Parsed (*)(const Scheme &scheme, const QByteArray &value, const QByteArray &body);
using Verify = Checked (*)(const Parsed &parsed, const Attempt &attempt);

struct Scheme
{
    const char *name;
    const char *prefixes[3]; // for a shape, what a log shows in place of a prefix
    Match match;
    bool weak;
    Tier tier;
    Digest digest; // read by the functions several rows share
    Shape shape;   // Match::Shape only
    Parse parse;
    Verify verify;
    const char *writtenBy;
};

Parsed refused(const char *why)
{
    Parsed p;
    p.reason = why;
    return p;
}

Checked matchIf(bool equal)
{
    return {equal ? Result::Match : Result::Mismatch, QString()};
}

Checked malformed(const char *why)
{
    return {Result::Malformed, QString::fromLatin1(why)};
}

// ---- crypt(3): libxcrypt reads the whole value as its setting ------------------

Parsed cryptParsed(const QByteArray &setting, quint64 work)
{
    Parsed p;
    p.inner = setting;
    p.work = work;
    return p;
}

// "$2b$NN$": the cost, two digits.
Parsed bcryptParsed(const QByteArray &setting)
{
    bool number = false;
    const int cost = setting.mid(4, 2).toInt(&number);
    if (!number || cost < 0 || setting.size() < 7 || setting.at(6) != '$')
        return refused(Why::Fields);
    if (cost > MaxBcryptCost)
        return refused(Why::BcryptCost);
    return cryptParsed(setting, (quint64(1) << cost) * BcryptBlocksPerRound);
}

Parsed parseBcrypt(const Scheme &, const QByteArray &value, const QByteArray &)
{
    return bcryptParsed(value);
}

// Django's "bcrypt$" and "bcrypt_sha256$", Spring's "{bcrypt}": a whole bcrypt value after the prefix.
Parsed parseWrappedBcrypt(const Scheme &, const QByteArray &, const QByteArray &body)
{
    const bool bcrypt = body.size() > 4 && body.startsWith("$2") && QByteArray("aby").contains(body.at(2))
        && body.at(3) == '$';
    return bcrypt ? bcryptParsed(body) : refused(Why::Inner);
}

// "$6$rounds=N$": N over the limit would hold a verifying thread for minutes.
Parsed parseShaCrypt(const Scheme &, const QByteArray &value, const QByteArray &)
{
    qint64 rounds = 5000; // crypt(3)'s count when the value names none
    if (value.startsWith("$5$rounds=") || value.startsWith("$6$rounds=")) {
        const int end = value.indexOf('$', 10);
        bool number = false;
        rounds = value.mid(10, end - 10).toLongLong(&number);
        if (end < 0 || !number)
            return refused(Why::Number);
        if (rounds > MaxShaCryptRounds)
            return refused(Why::Rounds);
    }
    return cryptParsed(value, quint64(qMax<qint64>(rounds, 1)) * 4);
}

const char *scryptLimits(quint64 n, quint64 r, quint64 p)
{
    if (n < 2 || (n & (n - 1)) != 0)
        return Why::ScryptN;
    if (r == 0 || p == 0)
        return Why::BelowOne;
    if (r > MaxScryptMemoryBytes / 128 / n || n * r > MaxScryptWork / p)
        return Why::Scrypt;
    return nullptr;
}

// "$7$" N r p: N as 2^digit, r and p as five digits each, least significant first.
Parsed parseScryptCrypt(const Scheme &, const QByteArray &value, const QByteArray &)
{
    if (value.size() < 14)
        return refused(Why::Fields);
    const int logN = cryptDigit(value.at(3));
    quint64 r = 0, p = 0;
    for (int i = 4; i >= 0; --i) {
        const int rd = cryptDigit(value.at(4 + i)), pd = cryptDigit(value.at(9 + i));
        if (rd < 0 || pd < 0)
            return refused(Why::Alphabet);
        r = (r << 6) | quint64(rd);
        p = (p << 6) | quint64(pd);
    }
    if (logN < 1 || logN > 60)
        return refused(Why::Scrypt);
    const quint64 n = 1ull << logN;
    if (const char *why = scryptLimits(n, r, p))
        return refused(why);
    return cryptParsed(value, n * r * p * ScryptBlocksPerUnit);
}

// "$y$" and the three parameter digits mkpasswd writes: the flavour "j", N as
// 2^(digit + 1), r as digit + 1. Anything else (more parameters) is refused.
Parsed parseYescrypt(const Scheme &, const QByteArray &value, const QByteArray &)
{
    if (value.size() < 7 || value.at(3) != 'j' || value.at(6) != '$')
        return refused(Why::Yescrypt);
    const int logN = cryptDigit(value.at(4)) + 1, r = cryptDigit(value.at(5)) + 1;
    if (logN < 2 || r < 1 || logN > 40)
        return refused(Why::Yescrypt);
    const quint64 memory = 128 * quint64(r) * (1ull << logN);
    if (memory > MaxScryptMemoryBytes)
        return refused(Why::Scrypt);
    return cryptParsed(value, memory / 16);
}

Parsed parseMd5Crypt(const Scheme &, const QByteArray &value, const QByteArray &)
{
    return cryptParsed(value, Md5CryptRounds);
}

Parsed parseDesCrypt(const Scheme &, const QByteArray &value, const QByteArray &)
{
    return cryptParsed(value, 25);
}

bool isDesCrypt(const QByteArray &value)
{
    if (value.size() != 13)
        return false;
    for (const char c : value) {
        if (cryptDigit(c) < 0)
            return false;
    }
    return true;
}

Checked verifyCryptOf(const QByteArray &password, const QByteArray &setting)
{
    if (password.contains('\0'))
        return matchIf(false); // cannot be what a C string was hashed from
    const auto data = std::make_unique<crypt_data>();
    const char *hashed
        = crypt_rn(password.constData(), setting.constData(), data.get(), int(sizeof(crypt_data)));
    if (!hashed || hashed[0] == '*')
        return malformed(Why::Crypt);
    return matchIf(constantTimeEqual(QByteArray(hashed), setting));
}

Checked verifyCrypt(const Parsed &parsed, const Attempt &attempt)
{
    return verifyCryptOf(attempt.password, parsed.inner);
}

// Django's bcrypt_sha256: bcrypt over the hex of the password's SHA-256, so
// a long password is not cut at bcrypt's 72 bytes.
Checked verifyBcryptSha256(const Parsed &parsed, const Attempt &attempt)
{
    return verifyCryptOf(hashOf(Digest::Sha256, attempt.password).toHex(), parsed.inner);
}

// ---- Argon2: libargon2 reads the PHC string ------------------------------------

Parsed argon2Parsed(const QByteArray &phc)
{
    static const QRegularExpression parameters(
        QStringLiteral("\\$m=(\\d{1,10}),t=(\\d{1,10}),p=(\\d{1,10})\\$"));
    Parsed p;
    if (phc.startsWith("$argon2id$"))
        p.variant = Argon2_id;
    else if (phc.startsWith("$argon2i$"))
        p.variant = Argon2_i;
    else
        return refused(Why::Inner);
    const QRegularExpressionMatch m = parameters.match(QString::fromLatin1(phc));
    if (!m.hasMatch())
        return refused(Why::Fields);
    const quint64 memory = m.captured(1).toULongLong(), passes = m.captured(2).toULongLong();
    if (memory > MaxArgon2MemoryKiB || memory * passes > MaxArgon2WorkKiB
        || m.captured(3).toULongLong() > MaxArgon2Lanes)
        return refused(Why::Argon2);
    p.inner = phc;
    p.work = memory * passes * Argon2BlocksPerKiB;
    return p;
}

Parsed parseArgon2(const Scheme &, const QByteArray &value, const QByteArray &)
{
    return argon2Parsed(value);
}

// Spring's "{argon2}": a whole PHC string after the prefix.
Parsed parseWrappedArgon2(const Scheme &, const QByteArray &, const QByteArray &body)
{
    return argon2Parsed(body);
}

// Django's "argon2": the PHC string right after it, "$" included.
Parsed parseDjangoArgon2(const Scheme &, const QByteArray &value, const QByteArray &)
{
    return argon2Parsed(value.mid(value.indexOf('$')));
}

Checked verifyArgon2(const Parsed &parsed, const Attempt &attempt)
{
    const int status = argon2_verify(parsed.inner.constData(), attempt.password.constData(),
        size_t(attempt.password.size()), argon2_type(parsed.variant));
    if (status == ARGON2_OK || status == ARGON2_VERIFY_MISMATCH)
        return matchIf(status == ARGON2_OK);
    return malformed(Why::Library);
}

// ---- PBKDF2 --------------------------------------------------------------------

// keyLength: the derived key's length the layout fixes. Where the layout
// does not, it is the digest's: a shorter key would let a value cut short
// verify too.
Parsed pbkdf2Parsed(
    Digest digest, qint64 iterations, const QByteArray &salt, const QByteArray &expected, int keyLength)
{
    if (iterations < 1)
        return refused(Why::BelowOne);
    if (iterations > MaxPbkdf2Iterations)
        return refused(Why::Iterations);
    if (salt.isEmpty() || expected.size() != keyLength)
        return refused(Why::Length);
    Parsed p;
    p.digest = digest;
    p.iterations = iterations;
    p.salt = salt;
    p.expected = expected;
    const int blocks = (keyLength + digestLength(digest) - 1) / digestLength(digest);
    p.work = quint64(iterations) * 2 * quint64(blocks);
    return p;
}

// Django: "pbkdf2_sha256$" iterations "$" salt "$" base64 of the key.
Parsed parseDjangoPbkdf2(const Scheme &scheme, const QByteArray &, const QByteArray &body)
{
    const QList<QByteArray> parts = body.split('$');
    if (parts.size() != 3)
        return refused(Why::Fields);
    const std::optional<qint64> iterations = decimal(parts.at(0));
    const std::optional<QByteArray> key = fromBase64(parts.at(2));
    if (!iterations)
        return refused(Why::Number);
    if (!key)
        return refused(Why::Base64);
    return pbkdf2Parsed(scheme.digest, *iterations, parts.at(1), *key, digestLength(scheme.digest));
}

// passlib: "$pbkdf2-sha256$" rounds "$" salt "$" checksum, both in adapted base64.
Parsed parseMcfPbkdf2(const Scheme &scheme, const QByteArray &, const QByteArray &body)
{
    const QList<QByteArray> parts = body.split('$');
    if (parts.size() != 3)
        return refused(Why::Fields);
    const std::optional<qint64> iterations = decimal(parts.at(0));
    const std::optional<QByteArray> salt = fromAb64(parts.at(1)), key = fromAb64(parts.at(2));
    if (!iterations)
        return refused(Why::Number);
    if (!salt || !key)
        return refused(Why::Base64);
    return pbkdf2Parsed(scheme.digest, *iterations, *salt, *key, digestLength(scheme.digest));
}

// Werkzeug: "pbkdf2:" digest [":" iterations] "$" salt "$" hex of the key; the
// salt is used as its text.
Parsed parseWerkzeugPbkdf2(const Scheme &, const QByteArray &, const QByteArray &body)
{
    const QList<QByteArray> parts = body.split('$');
    const QList<QByteArray> method = parts.at(0).split(':');
    if (parts.size() != 3 || method.size() > 2)
        return refused(Why::Fields);
    const std::optional<Digest> digest = digestNamed(method.at(0));
    const std::optional<qint64> iterations
        = method.size() == 2 ? decimal(method.at(1)) : std::optional<qint64>(WerkzeugDefaultIterations);
    const std::optional<QByteArray> key = fromHex(parts.at(2));
    if (!digest)
        return refused(Why::UnknownDigest);
    if (!iterations)
        return refused(Why::Number);
    if (!key)
        return refused(Why::Hex);
    return pbkdf2Parsed(*digest, *iterations, parts.at(1), *key, digestLength(*digest));
}

// Atlassian's "{PKCS5S2}": base64 of 16 bytes of salt and 32 of PBKDF2-HMAC-SHA1, 10,000 iterations.
Parsed parseAtlassian(const Scheme &scheme, const QByteArray &, const QByteArray &body)
{
    const std::optional<QByteArray> raw = fromBase64(body);
    if (!raw)
        return refused(Why::Base64);
    return pbkdf2Parsed(scheme.digest, AtlassianIterations, raw->left(AtlassianSaltBytes),
        raw->mid(AtlassianSaltBytes), AtlassianKeyBytes);
}

// Spring's Pbkdf2PasswordEncoder: hex of the salt and the 256-bit key. The
// value holds neither count nor digest: each prefix fixes them.
Parsed springPbkdf2Parsed(Digest digest, int saltBytes, qint64 iterations, const QByteArray &body)
{
    const std::optional<QByteArray> raw = fromHex(body);
    if (!raw)
        return refused(Why::Hex);
    if (raw->size() != saltBytes + SpringKeyBytes)
        return refused(Why::Length);
    return pbkdf2Parsed(digest, iterations, raw->left(saltBytes), raw->mid(saltBytes), SpringKeyBytes);
}

// "{pbkdf2}": Spring Security 5's defaults, 8 bytes of salt and 185,000 iterations.
Parsed parseSpringPbkdf2(const Scheme &scheme, const QByteArray &, const QByteArray &body)
{
    return springPbkdf2Parsed(scheme.digest, SpringPbkdf2SaltBytes, SpringPbkdf2Iterations, body);
}

// "{pbkdf2@SpringSecurity_v5_8}": 16 bytes of salt and 310,000 iterations.
Parsed parseSpringPbkdf2V58(const Scheme &scheme, const QByteArray &, const QByteArray &body)
{
    return springPbkdf2Parsed(scheme.digest, SpringV58Pbkdf2SaltBytes, SpringV58Pbkdf2Iterations, body);
}

// ASP.NET Core Identity writes base64 with its padding; anything else is not its value.
std::optional<QByteArray> identityBlob(const QByteArray &value)
{
    const std::optional<QByteArray> raw = fromBase64(value);
    if (!raw || raw->toBase64() != value)
        return std::nullopt;
    return raw;
}

// Version 3: 0x01, the PRF, the count and the salt's length (big-endian
// 32 bits each), the salt, the 256-bit subkey.
bool isIdentityV3(const QByteArray &value)
{
    const std::optional<QByteArray> raw = identityBlob(value);
    return raw && raw->size() >= IdentityV3Header && raw->at(0) == 1
        && qint64(IdentityV3Header) + bigEndian32(*raw, 9) + IdentitySubkeyBytes == raw->size();
}

// Version 2: 0x00, 16 bytes of salt, the 256-bit subkey.
bool isIdentityV2(const QByteArray &value)
{
    const std::optional<QByteArray> raw = identityBlob(value);
    return raw && raw->size() == 1 + IdentityV2SaltBytes + IdentitySubkeyBytes && raw->at(0) == 0;
}

Parsed parseIdentityV3(const Scheme &, const QByteArray &value, const QByteArray &)
{
    const QByteArray raw = *identityBlob(value);
    static const Digest Prf[] = {Digest::Sha1, Digest::Sha256, Digest::Sha512};
    const quint32 prf = bigEndian32(raw, 1), saltBytes = bigEndian32(raw, 9);
    if (prf >= sizeof Prf / sizeof *Prf)
        return refused(Why::UnknownDigest);
    if (saltBytes < quint32(IdentityMinSaltBytes))
        return refused(Why::Length);
    return pbkdf2Parsed(Prf[prf], bigEndian32(raw, 5), raw.mid(IdentityV3Header, int(saltBytes)),
        raw.right(IdentitySubkeyBytes), IdentitySubkeyBytes);
}

Parsed parseIdentityV2(const Scheme &scheme, const QByteArray &value, const QByteArray &)
{
    const QByteArray raw = *identityBlob(value);
    return pbkdf2Parsed(scheme.digest, IdentityV2Iterations, raw.mid(1, IdentityV2SaltBytes),
        raw.mid(1 + IdentityV2SaltBytes), IdentitySubkeyBytes);
}

Checked verifyPbkdf2(const Parsed &parsed, const Attempt &attempt)
{
    const QByteArray key
        = pbkdf2(parsed.digest, attempt.password, parsed.salt, parsed.iterations, parsed.expected.size());
    return key.isEmpty() ? malformed(Why::Library) : matchIf(constantTimeEqual(key, parsed.expected));
}

// ---- scrypt --------------------------------------------------------------------

Parsed scryptParsed(
    quint64 n, quint64 r, quint64 p, const QByteArray &salt, const QByteArray &expected, int keyLength)
{
    if (const char *why = scryptLimits(n, r, p))
        return refused(why);
    if (salt.isEmpty() || expected.size() != keyLength)
        return refused(Why::Length);
    Parsed s;
    s.iterations = qint64(n);
    s.blockSize = quint32(r);
    s.parallelism = quint32(p);
    s.salt = salt;
    s.expected = expected;
    s.work = n * r * p * ScryptBlocksPerUnit;
    return s;
}

// Werkzeug 3: "scrypt:" N ":" r ":" p "$" salt "$" hex of 64 bytes; the salt as its text.
Parsed parseWerkzeugScrypt(const Scheme &, const QByteArray &, const QByteArray &body)
{
    const QList<QByteArray> parts = body.split('$');
    const QList<QByteArray> cost = parts.at(0).split(':');
    if (parts.size() != 3 || cost.size() != 3)
        return refused(Why::Fields);
    const std::optional<qint64> n = decimal(cost.at(0)), r = decimal(cost.at(1)), p = decimal(cost.at(2));
    const std::optional<QByteArray> key = fromHex(parts.at(2));
    if (!n || !r || !p)
        return refused(Why::Number);
    if (!key)
        return refused(Why::Hex);
    return scryptParsed(
        quint64(*n), quint64(*r), quint64(*p), parts.at(1), *key, WerkzeugAndDjangoScryptKeyBytes);
}

// Django 4: "scrypt$" N "$" salt "$" r "$" p "$" base64 of 64 bytes; the salt as its text.
Parsed parseDjangoScrypt(const Scheme &, const QByteArray &, const QByteArray &body)
{
    const QList<QByteArray> parts = body.split('$');
    if (parts.size() != 5)
        return refused(Why::Fields);
    const std::optional<qint64> n = decimal(parts.at(0)), r = decimal(parts.at(2)), p = decimal(parts.at(3));
    const std::optional<QByteArray> key = fromBase64(parts.at(4));
    if (!n || !r || !p)
        return refused(Why::Number);
    if (!key)
        return refused(Why::Base64);
    return scryptParsed(
        quint64(*n), quint64(*r), quint64(*p), parts.at(1), *key, WerkzeugAndDjangoScryptKeyBytes);
}

// Spring's SCryptPasswordEncoder: "$" hex of (log2 N << 16 | r << 8 | p) "$"
// base64 salt "$" base64 key, the key as long as Spring derives (256 bits).
Parsed parseSpringScrypt(const Scheme &, const QByteArray &, const QByteArray &body)
{
    const QList<QByteArray> parts = body.split('$');
    if (parts.size() != 4 || !parts.at(0).isEmpty())
        return refused(Why::Fields);
    const std::optional<quint64> cost = hexNumber(parts.at(1));
    const std::optional<QByteArray> salt = fromBase64(parts.at(2)), key = fromBase64(parts.at(3));
    if (!cost)
        return refused(Why::Hex);
    if (!salt || !key)
        return refused(Why::Base64);
    const quint64 logN = (*cost >> 16) & 0xffff;
    if (logN > 62)
        return refused(Why::Scrypt);
    return scryptParsed(1ull << logN, (*cost >> 8) & 0xff, *cost & 0xff, *salt, *key, SpringKeyBytes);
}

Checked verifyScrypt(const Parsed &parsed, const Attempt &attempt)
{
    const QByteArray key = scrypt(attempt.password, parsed.salt, quint64(parsed.iterations), parsed.blockSize,
        parsed.parallelism, parsed.expected.size());
    return key.isEmpty() ? malformed(Why::Library) : matchIf(constantTimeEqual(key, parsed.expected));
}

// ---- Iterated digests: phpass, Drupal 7, Spring's {sha256} ---------------------

// phpass: the prefix, the log2 of the count as a crypt(3) digit, 8 of salt,
// then crypt(3)'s base64 of the digest. Drupal 7 writes the same with SHA-512
// and cuts the whole to 55 characters.
Parsed phpassParsed(Digest digest, const QByteArray &value)
{
    if (value.size() != (digest == Digest::Md5 ? PhpassLength : DrupalLength))
        return refused(Why::Length);
    for (const char c : value.mid(3)) {
        if (cryptDigit(c) < 0)
            return refused(Why::Alphabet);
    }
    const int log2 = cryptDigit(value.at(3));
    if (log2 < PhpassMinLog2Rounds || log2 > PhpassMaxLog2Rounds)
        return refused(Why::RoundsRange);
    if (log2 > MaxPhpassLog2Rounds)
        return refused(Why::Rounds);
    Parsed p;
    p.digest = digest;
    p.iterations = 1ll << log2;
    p.salt = value.mid(4, 8);
    p.expected = value;
    p.work = quint64(p.iterations);
    return p;
}

Parsed parsePhpass(const Scheme &scheme, const QByteArray &value, const QByteArray &)
{
    return phpassParsed(scheme.digest, value);
}

// Drupal 7's "U$S$": an MD5 hash from Drupal 6 rehashed as the password, "U" before it.
Parsed parseDrupalMd5(const Scheme &scheme, const QByteArray &value, const QByteArray &)
{
    return phpassParsed(scheme.digest, value.mid(1));
}

Checked verifyPhpass(const Parsed &parsed, const Attempt &attempt)
{
    const QByteArray digest
        = iterated(parsed.digest, parsed.salt + attempt.password, attempt.password, parsed.iterations);
    if (digest.isEmpty())
        return malformed(Why::Library);
    const QByteArray value = (parsed.expected.left(12) + phpassBase64(digest)).left(parsed.expected.size());
    return matchIf(constantTimeEqual(value, parsed.expected));
}

Checked verifyDrupalMd5(const Parsed &parsed, const Attempt &attempt)
{
    const QByteArray md5 = hashOf(Digest::Md5, attempt.password).toHex();
    return verifyPhpass(parsed, {md5, attempt.userName});
}

// Spring's StandardPasswordEncoder: hex of 8 bytes of salt and SHA-256
// applied 1,024 times to the salt and the password.
Parsed parseSpringSha256(const Scheme &scheme, const QByteArray &, const QByteArray &body)
{
    const std::optional<QByteArray> raw = fromHex(body);
    if (!raw)
        return refused(Why::Hex);
    if (raw->size() != SpringSha256SaltBytes + digestLength(scheme.digest))
        return refused(Why::Length);
    Parsed p;
    p.digest = scheme.digest;
    p.iterations = SpringSha256Iterations;
    p.salt = raw->left(SpringSha256SaltBytes);
    p.expected = raw->mid(SpringSha256SaltBytes);
    p.work = quint64(p.iterations);
    return p;
}

Checked verifySpringSha256(const Parsed &parsed, const Attempt &attempt)
{
    const QByteArray digest
        = iterated(parsed.digest, parsed.salt + attempt.password, QByteArray(), parsed.iterations - 1);
    return digest.isEmpty() ? malformed(Why::Library) : matchIf(constantTimeEqual(digest, parsed.expected));
}

// Apache's "$apr1$": up to 8 of salt, "$", 22 of MD5-crypt's digest.
Parsed parseApr1(const Scheme &, const QByteArray &value, const QByteArray &body)
{
    const int end = body.indexOf('$');
    if (end < 0)
        return refused(Why::Fields);
    if (end > Md5CryptMaxSalt || body.size() - end - 1 != 22)
        return refused(Why::Length);
    Parsed p;
    p.salt = body.left(end);
    p.expected = value;
    p.work = Md5CryptRounds;
    return p;
}

Checked verifyApr1(const Parsed &parsed, const Attempt &attempt)
{
    return matchIf(constantTimeEqual(md5Crypt("$apr1$", attempt.password, parsed.salt), parsed.expected));
}

// ---- Single digests --------------------------------------------------------------

// {SSHA...}: base64 of the digest of password and salt, then the salt.
Parsed parseSaltedDigest(const Scheme &scheme, const QByteArray &, const QByteArray &body)
{
    const std::optional<QByteArray> raw = fromBase64(body);
    const int length = digestLength(scheme.digest);
    if (!raw)
        return refused(Why::Base64);
    if (raw->size() <= length)
        return refused(Why::Length);
    Parsed p;
    p.digest = scheme.digest;
    p.salt = raw->mid(length);
    p.expected = raw->left(length);
    p.work = 1;
    return p;
}

// {SHA}, {MD5}: base64 of the digest of the password alone.
Parsed parseDigest(const Scheme &scheme, const QByteArray &, const QByteArray &body)
{
    const std::optional<QByteArray> raw = fromBase64(body);
    if (!raw)
        return refused(Why::Base64);
    if (raw->size() != digestLength(scheme.digest))
        return refused(Why::Length);
    Parsed p;
    p.digest = scheme.digest;
    p.expected = *raw;
    p.work = 1;
    return p;
}

Checked verifyDigest(const Parsed &parsed, const Attempt &attempt)
{
    return matchIf(constantTimeEqual(hashOf(parsed.digest, attempt.password + parsed.salt), parsed.expected));
}

// MySQL 4.1 to 5.7's PASSWORD(): "*" and the hex of SHA-1 of SHA-1 of the password.
bool isMysql41(const QByteArray &value)
{
    return value.size() == 41 && value.startsWith('*') && isHex(value.mid(1));
}

// PostgreSQL's "md5" and the hex of MD5 of the password then the user name.
bool isPostgresMd5(const QByteArray &value)
{
    return value.size() == 35 && value.startsWith("md5") && isHex(value.mid(3));
}

Parsed parseHexDigest(const Scheme &scheme, const QByteArray &value, const QByteArray &)
{
    Parsed p;
    p.digest = scheme.digest;
    p.expected = QByteArray::fromHex(value.mid(value.size() - 2 * digestLength(scheme.digest)));
    p.work = 2;
    return p;
}

Checked verifyMysql41(const Parsed &parsed, const Attempt &attempt)
{
    return matchIf(
        constantTimeEqual(hashOf(parsed.digest, hashOf(parsed.digest, attempt.password)), parsed.expected));
}

Checked verifyPostgresMd5(const Parsed &parsed, const Attempt &attempt)
{
    if (attempt.userName.isEmpty())
        return malformed(Why::UserName);
    return matchIf(
        constantTimeEqual(hashOf(parsed.digest, attempt.password + attempt.userName), parsed.expected));
}

// ---- Clear text ----------------------------------------------------------------

Parsed parseClear(const Scheme &, const QByteArray &, const QByteArray &body)
{
    Parsed p;
    p.expected = body;
    return p;
}

Checked verifyClear(const Parsed &parsed, const Attempt &attempt)
{
    return matchIf(constantTimeEqual(attempt.password, parsed.expected));
}

// ---- The table -------------------------------------------------------------------
// One row per format. No prefix starts another row's, so the order only says
// which shape is tried first; weak formats last, as the README lists them.
constexpr bool Weak = true, Strong = false;
using D = Digest;
using M = Match;
using T = Tier;

// clang-format off
const Scheme Schemes[] = {
    {"bcrypt", {"$2a$", "$2b$", "$2y$"}, M::Prefix, Strong, T::Bcrypt, D::Sha256, nullptr, parseBcrypt, verifyCrypt,
     "PHP's password_hash, Laravel, Symfony, Devise, mkpasswd"},
    {"yescrypt", {"$y$"}, M::Prefix, Strong, T::MemoryHard, D::Sha256, nullptr, parseYescrypt, verifyCrypt,
     "mkpasswd, Debian's /etc/shadow"},
    {"scrypt", {"$7$"}, M::Prefix, Strong, T::MemoryHard, D::Sha256, nullptr, parseScryptCrypt, verifyCrypt,
     "mkpasswd"},
    {"sha512crypt", {"$6$"}, M::Prefix, Strong, T::Iterated, D::Sha512, nullptr, parseShaCrypt, verifyCrypt,
     "mkpasswd, glibc's crypt(3)"},
    {"sha256crypt", {"$5$"}, M::Prefix, Strong, T::Iterated, D::Sha256, nullptr, parseShaCrypt, verifyCrypt,
     "mkpasswd, glibc's crypt(3)"},
    {"argon2id", {"$argon2id$"}, M::Prefix, Strong, T::MemoryHard, D::Sha256, nullptr, parseArgon2, verifyArgon2,
     "PHP's password_hash, argon2, argon2-cffi"},
    {"argon2i", {"$argon2i$"}, M::Prefix, Strong, T::MemoryHard, D::Sha256, nullptr, parseArgon2, verifyArgon2,
     "PHP's password_hash, argon2"},
    {"pbkdf2_sha256", {"pbkdf2_sha256$"}, M::Prefix, Strong, T::Iterated, D::Sha256, nullptr, parseDjangoPbkdf2, verifyPbkdf2,
     "Django"},
    {"pbkdf2_sha1", {"pbkdf2_sha1$"}, M::Prefix, Strong, T::Iterated, D::Sha1, nullptr, parseDjangoPbkdf2, verifyPbkdf2,
     "Django"},
    {"django_argon2", {"argon2$"}, M::Prefix, Strong, T::MemoryHard, D::Sha256, nullptr, parseDjangoArgon2, verifyArgon2,
     "Django"},
    {"bcrypt_sha256", {"bcrypt_sha256$"}, M::Prefix, Strong, T::Bcrypt, D::Sha256, nullptr, parseWrappedBcrypt, verifyBcryptSha256,
     "Django"},
    {"django_bcrypt", {"bcrypt$"}, M::Prefix, Strong, T::Bcrypt, D::Sha256, nullptr, parseWrappedBcrypt, verifyCrypt,
     "Django"},
    {"django_scrypt", {"scrypt$"}, M::Prefix, Strong, T::MemoryHard, D::Sha256, nullptr, parseDjangoScrypt, verifyScrypt,
     "Django 4 and later"},
    {"pbkdf2-sha256", {"$pbkdf2-sha256$"}, M::Prefix, Strong, T::Iterated, D::Sha256, nullptr, parseMcfPbkdf2, verifyPbkdf2,
     "passlib"},
    {"pbkdf2-sha512", {"$pbkdf2-sha512$"}, M::Prefix, Strong, T::Iterated, D::Sha512, nullptr, parseMcfPbkdf2, verifyPbkdf2,
     "passlib"},
    {"werkzeug_pbkdf2", {"pbkdf2:"}, M::Prefix, Strong, T::Iterated, D::Sha256, nullptr, parseWerkzeugPbkdf2, verifyPbkdf2,
     "Werkzeug (Flask)"},
    {"werkzeug_scrypt", {"scrypt:"}, M::Prefix, Strong, T::MemoryHard, D::Sha256, nullptr, parseWerkzeugScrypt, verifyScrypt,
     "Werkzeug 3 (Flask)"},
    {"phpass", {"$P$", "$H$"}, M::Prefix, Strong, T::Iterated, D::Md5, nullptr, parsePhpass, verifyPhpass,
     "WordPress, phpBB"},
    {"drupal7", {"$S$"}, M::Prefix, Strong, T::Iterated, D::Sha512, nullptr, parsePhpass, verifyPhpass,
     "Drupal 7"},
    {"drupal7_md5", {"U$S$"}, M::Prefix, Strong, T::Iterated, D::Sha512, nullptr, parseDrupalMd5, verifyDrupalMd5,
     "Drupal 7"},
    {"spring_bcrypt", {"{bcrypt}"}, M::Prefix, Strong, T::Bcrypt, D::Sha256, nullptr, parseWrappedBcrypt, verifyCrypt,
     "Spring Security"},
    {"spring_pbkdf2", {"{pbkdf2}"}, M::Prefix, Strong, T::Iterated, D::Sha1, nullptr, parseSpringPbkdf2, verifyPbkdf2,
     "Spring Security"},
    {"spring_pbkdf2_v5_8", {"{pbkdf2@SpringSecurity_v5_8}"}, M::Prefix, Strong, T::Iterated, D::Sha256, nullptr, parseSpringPbkdf2V58, verifyPbkdf2,
     "Spring Security 5.8 and later"},
    {"spring_argon2", {"{argon2}", "{argon2@SpringSecurity_v5_8}"}, M::Prefix, Strong, T::MemoryHard, D::Sha256, nullptr, parseWrappedArgon2, verifyArgon2,
     "Spring Security"},
    {"spring_scrypt", {"{scrypt}", "{scrypt@SpringSecurity_v5_8}"}, M::Prefix, Strong, T::MemoryHard, D::Sha256, nullptr, parseSpringScrypt, verifyScrypt,
     "Spring Security"},
    {"pkcs5s2", {"{PKCS5S2}"}, M::Caseless, Strong, T::Iterated, D::Sha1, nullptr, parseAtlassian, verifyPbkdf2,
     "Atlassian (Jira, Confluence, Crowd)"},
    {"aspnet_identity_v3", {"(none: ASP.NET Identity v3)"}, M::Shape, Strong, T::Iterated, D::Sha256, isIdentityV3, parseIdentityV3, verifyPbkdf2,
     "ASP.NET Core Identity 3 and later"},
    {"aspnet_identity_v2", {"(none: ASP.NET Identity v2)"}, M::Shape, Strong, T::Iterated, D::Sha1, isIdentityV2, parseIdentityV2, verifyPbkdf2,
     "ASP.NET Identity 2"},
    {"ssha", {"{SSHA}"}, M::Caseless, Strong, T::Digest, D::Sha1, nullptr, parseSaltedDigest, verifyDigest,
     "OpenLDAP, Dovecot"},
    {"ssha256", {"{SSHA256}"}, M::Caseless, Strong, T::Digest, D::Sha256, nullptr, parseSaltedDigest, verifyDigest,
     "OpenLDAP, Dovecot"},
    {"ssha512", {"{SSHA512}"}, M::Caseless, Strong, T::Digest, D::Sha512, nullptr, parseSaltedDigest, verifyDigest,
     "OpenLDAP, Dovecot"},
    {"plain", {"{PLAIN}", "{CLEAR}"}, M::Caseless, Strong, T::Clear, D::Sha256, nullptr, parseClear, verifyClear,
     "Dovecot, written by hand"},
    // Weak: verified only when sql/weak_hashes allows it.
    {"md5crypt", {"$1$"}, M::Prefix, Weak, T::Iterated, D::Md5, nullptr, parseMd5Crypt, verifyCrypt,
     "mkpasswd, old /etc/shadow"},
    {"apr1", {"$apr1$"}, M::Prefix, Weak, T::Iterated, D::Md5, nullptr, parseApr1, verifyApr1,
     "Apache's htpasswd"},
    {"descrypt", {"(none: DES crypt)"}, M::Shape, Weak, T::Digest, D::Sha256, isDesCrypt, parseDesCrypt, verifyCrypt,
     "old /etc/passwd, htpasswd -d"},
    {"sha", {"{SHA}"}, M::Caseless, Weak, T::Digest, D::Sha1, nullptr, parseDigest, verifyDigest,
     "OpenLDAP, Apache's htpasswd -s"},
    // Not Dovecot's {MD5}: that is MD5-crypt behind the prefix.
    {"md5", {"{MD5}"}, M::Caseless, Weak, T::Digest, D::Md5, nullptr, parseDigest, verifyDigest,
     "OpenLDAP"},
    {"spring_sha256", {"{sha256}"}, M::Prefix, Weak, T::Digest, D::Sha256, nullptr, parseSpringSha256, verifySpringSha256,
     "Spring Security (StandardPasswordEncoder)"},
    {"spring_noop", {"{noop}"}, M::Prefix, Weak, T::Clear, D::Sha256, nullptr, parseClear, verifyClear,
     "Spring Security (NoOpPasswordEncoder)"},
    {"mysql41", {"*"}, M::Shape, Weak, T::Digest, D::Sha1, isMysql41, parseHexDigest, verifyMysql41,
     "MySQL 4.1 to 5.7 (PASSWORD()), MariaDB's mysql_native_password"},
    {"postgres_md5", {"md5"}, M::Shape, Weak, T::Digest, D::Md5, isPostgresMd5, parseHexDigest, verifyPostgresMd5,
     "PostgreSQL (MD5 of password and user name)"},
};
// clang-format on
constexpr int SchemeCount = int(sizeof Schemes / sizeof *Schemes);

const Scheme *schemeOf(Format format)
{
    const int row = int(format);
    return row >= 0 && row < SchemeCount ? &Schemes[row] : nullptr;
}

// ---- Splitting the prefix off ------------------------------------------------------

struct Split
{
    int row = -1;
    int prefixLength = 0;
    const char *prefix = nullptr; // as a log may show it
};

Split split(const QByteArray &stored)
{
    const int close = stored.startsWith('{') ? stored.indexOf('}') : -1;
    const QByteArray brace = close > 0 ? stored.left(close + 1).toUpper() : QByteArray();
    for (int row = 0; row < SchemeCount; ++row) {
        const Scheme &s = Schemes[row];
        for (const char *prefix : s.prefixes) {
            if (!prefix || s.match == Match::Shape)
                break;
            if (s.match == Match::Caseless ? brace == prefix : stored.startsWith(prefix))
                return {row, int(qstrlen(prefix)), prefix};
        }
    }
    const QByteArray value = withoutPadding(stored);
    for (int row = 0; row < SchemeCount; ++row) {
        if (Schemes[row].match == Match::Shape && Schemes[row].shape(value))
            return {row, 0, Schemes[row].prefixes[0]};
    }
    return {};
}

Parsed parseSplit(const QByteArray &stored, const Split &at)
{
    if (at.row < 0)
        return refused(Why::NoFormat);
    const Scheme &scheme = Schemes[at.row];
    const QByteArray value = scheme.tier == Tier::Clear ? stored : withoutPadding(stored);
    Parsed parsed
        = value.contains('\0') ? refused(Why::Nul) : scheme.parse(scheme, value, value.mid(at.prefixLength));
    parsed.format = Format(at.row);
    return parsed;
}

} // namespace

// ---- Formats -------------------------------------------------------------------

Format formatOf(const QByteArray &stored)
{
    return Format(split(stored).row);
}

Format formatNamed(const QString &name)
{
    for (int row = 0; row < SchemeCount; ++row) {
        if (name == QLatin1String(Schemes[row].name))
            return Format(row);
    }
    return Format::Unknown;
}

QList<Format> formats()
{
    QList<Format> all;
    for (int row = 0; row < SchemeCount; ++row)
        all << Format(row);
    return all;
}

QString name(Format format)
{
    const Scheme *scheme = schemeOf(format);
    return scheme ? QString::fromLatin1(scheme->name) : QStringLiteral("unknown");
}

QString writtenBy(Format format)
{
    const Scheme *scheme = schemeOf(format);
    return scheme ? QString::fromLatin1(scheme->writtenBy) : QString();
}

bool isWeak(Format format)
{
    const Scheme *scheme = schemeOf(format);
    return scheme && scheme->weak;
}

QString prefixOf(const QByteArray &stored)
{
    const Split at = split(stored);
    return at.prefix ? QString::fromLatin1(at.prefix) : QStringLiteral("(none known)");
}

// ---- Parsing -------------------------------------------------------------------

Parsed parse(const QByteArray &stored)
{
    return parseSplit(stored, split(stored));
}

// ---- Verifying -----------------------------------------------------------------

QString name(Result result)
{
    switch (result) {
    case Result::Match:
        return QStringLiteral("match");
    case Result::Mismatch:
        return QStringLiteral("mismatch");
    case Result::Malformed:
        return QStringLiteral("malformed");
    case Result::Refused:
        return QStringLiteral("refused");
    case Result::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

Checked check(
    const QByteArray &password, const QByteArray &stored, bool allowWeak, const QByteArray &userName)
{
    const Split at = split(stored);
    if (at.row < 0)
        return {Result::Unknown, QString::fromLatin1(Why::NoFormat)};
    const Scheme &scheme = Schemes[at.row];
    if (scheme.weak && !allowWeak)
        return {Result::Refused, QString::fromLatin1(Why::Weak)};
    const Parsed parsed = parseSplit(stored, at);
    if (parsed.reason)
        return malformed(parsed.reason);
    return scheme.verify(parsed, {password, userName});
}

Result verify(
    const QByteArray &password, const QByteArray &stored, bool allowWeak, const QByteArray &userName)
{
    return check(password, stored, allowWeak, userName).result;
}

bool constantTimeEqual(const QByteArray &a, const QByteArray &b)
{
    unsigned char differ = a.size() == b.size() ? 0 : 1;
    const int n = qMin(a.size(), b.size());
    for (int i = 0; i < n; ++i)
        differ |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return differ == 0;
}

// ---- Rehashing -----------------------------------------------------------------

QByteArray hashBcrypt(const QByteArray &password, int cost)
{
    if (cost < MinBcryptCost || cost > MaxBcryptCost || password.contains('\0')
        || password.size() > MaxBcryptPasswordBytes)
        return QByteArray();
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn("$2b$", cost, nullptr, 0, setting, int(sizeof setting)))
        return QByteArray();
    const auto data = std::make_unique<crypt_data>();
    const char *hashed = crypt_rn(password.constData(), setting, data.get(), int(sizeof(crypt_data)));
    return hashed && hashed[0] != '*' ? QByteArray(hashed) : QByteArray();
}

bool needsRehash(const QByteArray &stored, const QString &minimum)
{
    const Scheme *scheme = schemeOf(formatOf(stored)), *floor = schemeOf(formatNamed(minimum));
    return scheme && floor && (scheme->weak || scheme->tier < floor->tier);
}

} // namespace Passwords
