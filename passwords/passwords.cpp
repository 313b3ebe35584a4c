#include "passwords.h"

#include <QCryptographicHash>
#include <QList>
#include <QPasswordDigestor>
#include <QRegularExpression>

#include <argon2.h>
#include <crypt.h>

#include <memory>

namespace Passwords {

namespace {

struct Prefix
{
    const char *text;
    Format format;
};
// Longest first where one prefix starts another ("$argon2id$", "$argon2i$").
const Prefix Prefixes[] = {
    {"$2a$", Format::Bcrypt},
    {"$2b$", Format::Bcrypt},
    {"$2y$", Format::Bcrypt},
    {"$y$", Format::Yescrypt},
    {"$7$", Format::Scrypt},
    {"$6$", Format::Sha512Crypt},
    {"$5$", Format::Sha256Crypt},
    {"$1$", Format::Md5Crypt},
    {"$argon2id$", Format::Argon2id},
    {"$argon2i$", Format::Argon2i},
    {"pbkdf2_sha256$", Format::Pbkdf2Sha256},
    {"$pbkdf2-sha256$", Format::Pbkdf2Mcf256},
    {"$pbkdf2-sha512$", Format::Pbkdf2Mcf512},
    {"{SSHA}", Format::Ssha},
    {"{SSHA256}", Format::Ssha256},
    {"{SSHA512}", Format::Ssha512},
    {"{PLAIN}", Format::Plain},
    {"{CLEAR}", Format::Plain},
    {"{SHA}", Format::Sha},
    {"{MD5}", Format::Md5},
};

// The value without the blanks a CHAR(n) column pads it with: no hash holds
// them (a clear text may, and keeps them).
QByteArray withoutPadding(const QByteArray &stored)
{
    int n = stored.size();
    while (n > 0 && stored.at(n - 1) == ' ')
        --n;
    return stored.left(n);
}

const Prefix *prefixEntry(const QByteArray &stored)
{
    const QByteArray upper
        = stored.startsWith('{') ? stored.left(stored.indexOf('}') + 1).toUpper() : QByteArray();
    for (const Prefix &p : Prefixes) {
        if (stored.startsWith(p.text) || (!upper.isEmpty() && upper == p.text))
            return &p;
    }
    return nullptr;
}

// The 64 characters crypt(3) encodes with, in the order of their values.
int cryptDigit(char c)
{
    static const QByteArray digits("./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    return digits.indexOf(c);
}

// "$7$" N r p: N as 2^digit, r and p as five digits each, least significant first.
bool scryptWithinLimits(const QByteArray &stored)
{
    if (stored.size() < 14)
        return false;
    const int logN = cryptDigit(stored.at(3));
    quint64 r = 0, p = 0;
    for (int i = 4; i >= 0; --i) {
        const int rd = cryptDigit(stored.at(4 + i)), pd = cryptDigit(stored.at(9 + i));
        if (rd < 0 || pd < 0)
            return false;
        r = (r << 6) | quint64(rd);
        p = (p << 6) | quint64(pd);
    }
    if (logN < 1 || logN > 60 || r == 0 || p == 0)
        return false;
    const quint64 n = 1ull << logN;
    return r <= MaxScryptMemoryBytes / 128 / n && n * r <= MaxScryptWork / p;
}

// "$y$" and the three parameter digits mkpasswd writes: the flavour "j", N as
// 2^(digit + 1), r as digit + 1. Anything else (more parameters) is refused.
bool yescryptWithinLimits(const QByteArray &stored)
{
    if (stored.size() < 7 || stored.at(3) != 'j' || stored.at(6) != '$')
        return false;
    const int logN = cryptDigit(stored.at(4)) + 1, r = cryptDigit(stored.at(5)) + 1;
    if (logN < 2 || r < 1 || logN > 40)
        return false;
    return 128 * quint64(r) * (1ull << logN) <= MaxScryptMemoryBytes;
}

bool isCrypt(Format format)
{
    switch (format) {
    case Format::Bcrypt:
    case Format::Yescrypt:
    case Format::Scrypt:
    case Format::Sha512Crypt:
    case Format::Sha256Crypt:
    case Format::Md5Crypt:
    case Format::DesCrypt:
        return true;
    default:
        return false;
    }
}

// libxcrypt: the whole setting is the stored value, and a match gives it back.
Result verifyCrypt(Format format, const QByteArray &password, const QByteArray &stored)
{
    if (format == Format::Bcrypt) {
        // "$2b$NN$": the cost, two digits.
        bool number = false;
        const int cost = stored.mid(4, 2).toInt(&number);
        if (!number || stored.size() < 7 || stored.at(6) != '$' || cost > MaxBcryptCost)
            return Result::Malformed;
    }
    if ((format == Format::Sha512Crypt || format == Format::Sha256Crypt)
        && (stored.startsWith("$5$rounds=") || stored.startsWith("$6$rounds="))) {
        // "$6$rounds=N$": N over the limit would hold a verifying thread for minutes.
        const int end = stored.indexOf('$', 10);
        bool number = false;
        const qint64 rounds = stored.mid(10, end - 10).toLongLong(&number);
        if (end < 0 || !number || rounds > MaxShaCryptRounds)
            return Result::Malformed;
    }
    if ((format == Format::Scrypt && !scryptWithinLimits(stored))
        || (format == Format::Yescrypt && !yescryptWithinLimits(stored)))
        return Result::Malformed;
    if (password.contains('\0'))
        return Result::Mismatch; // cannot be what a C string was hashed from
    const auto data = std::make_unique<crypt_data>();
    const char *hashed
        = crypt_rn(password.constData(), stored.constData(), data.get(), int(sizeof(crypt_data)));
    if (!hashed || hashed[0] == '*')
        return Result::Malformed;
    return constantTimeEqual(QByteArray(hashed), stored) ? Result::Match : Result::Mismatch;
}

Result verifyArgon2(Format format, const QByteArray &password, const QByteArray &stored)
{
    static const QRegularExpression parameters(
        QStringLiteral("\\$m=(\\d{1,10}),t=(\\d{1,10}),p=(\\d{1,10})\\$"));
    const QRegularExpressionMatch m = parameters.match(QString::fromLatin1(stored));
    const quint64 memory = m.captured(1).toULongLong(), passes = m.captured(2).toULongLong();
    if (!m.hasMatch() || memory > MaxArgon2MemoryKiB || memory * passes > MaxArgon2WorkKiB
        || m.captured(3).toULongLong() > MaxArgon2Lanes)
        return Result::Malformed;
    const int status = argon2_verify(stored.constData(), password.constData(), size_t(password.size()),
        format == Format::Argon2id ? Argon2_id : Argon2_i);
    if (status == ARGON2_OK)
        return Result::Match;
    return status == ARGON2_VERIFY_MISMATCH ? Result::Mismatch : Result::Malformed;
}

// passlib's "adapted base64": '.' for '+', no padding.
QByteArray fromAb64(QByteArray text)
{
    text.replace('.', '+');
    return QByteArray::fromBase64(text, QByteArray::AbortOnBase64DecodingErrors);
}

Result verifyPbkdf2(Format format, const QByteArray &password, const QByteArray &stored)
{
    // pbkdf2_sha256$iterations$salt$base64   or   $pbkdf2-sha256$rounds$ab64 salt$ab64 checksum
    const QList<QByteArray> parts = stored.split('$');
    const bool framework = format == Format::Pbkdf2Sha256;
    if (parts.size() != (framework ? 4 : 5))
        return Result::Malformed;
    const int first = framework ? 1 : 2;
    bool number = false;
    const qint64 iterations = parts.at(first).toLongLong(&number);
    const QByteArray salt = framework ? parts.at(first + 1) : fromAb64(parts.at(first + 1));
    const QByteArray expected = framework
        ? QByteArray::fromBase64(parts.at(first + 2), QByteArray::AbortOnBase64DecodingErrors)
        : fromAb64(parts.at(first + 2));
    const auto algorithm
        = format == Format::Pbkdf2Mcf512 ? QCryptographicHash::Sha512 : QCryptographicHash::Sha256;
    // A derived key shorter than the digest would verify a cut-down value too.
    if (!number || iterations < 1 || iterations > MaxPbkdf2Iterations || salt.isEmpty()
        || expected.size() != QCryptographicHash::hashLength(algorithm))
        return Result::Malformed;
    const QByteArray derived = QPasswordDigestor::deriveKeyPbkdf2(
        algorithm, password, salt, int(iterations), quint64(expected.size()));
    return constantTimeEqual(derived, expected) ? Result::Match : Result::Mismatch;
}

// {SSHA...}: base64 of the digest of password and salt, then the salt; {SHA}
// and {MD5}: base64 of the digest of the password alone.
Result verifyDigest(Format format, const QByteArray &password, const QByteArray &stored)
{
    const QByteArray decoded = QByteArray::fromBase64(
        stored.mid(stored.indexOf('}') + 1), QByteArray::AbortOnBase64DecodingErrors);
    QCryptographicHash::Algorithm algorithm = QCryptographicHash::Sha1;
    if (format == Format::Ssha256)
        algorithm = QCryptographicHash::Sha256;
    else if (format == Format::Ssha512)
        algorithm = QCryptographicHash::Sha512;
    else if (format == Format::Md5)
        algorithm = QCryptographicHash::Md5;
    const int length = QCryptographicHash::hashLength(algorithm);
    const bool salted = format == Format::Ssha || format == Format::Ssha256 || format == Format::Ssha512;
    if (salted ? decoded.size() <= length : decoded.size() != length)
        return Result::Malformed;
    const QByteArray salt = decoded.mid(length);
    return constantTimeEqual(QCryptographicHash::hash(password + salt, algorithm), decoded.left(length))
        ? Result::Match
        : Result::Mismatch;
}

} // namespace

Format formatOf(const QByteArray &stored)
{
    if (const Prefix *prefix = prefixEntry(stored))
        return prefix->format;
    static const QRegularExpression des(QStringLiteral("^[./0-9A-Za-z]{13}$"));
    if (des.match(QString::fromLatin1(withoutPadding(stored))).hasMatch())
        return Format::DesCrypt;
    return Format::Unknown;
}

QString name(Format format)
{
    switch (format) {
    case Format::Bcrypt:
        return QStringLiteral("bcrypt");
    case Format::Yescrypt:
        return QStringLiteral("yescrypt");
    case Format::Scrypt:
        return QStringLiteral("scrypt");
    case Format::Sha512Crypt:
        return QStringLiteral("sha512crypt");
    case Format::Sha256Crypt:
        return QStringLiteral("sha256crypt");
    case Format::Argon2id:
        return QStringLiteral("argon2id");
    case Format::Argon2i:
        return QStringLiteral("argon2i");
    case Format::Pbkdf2Sha256:
        return QStringLiteral("pbkdf2_sha256");
    case Format::Pbkdf2Mcf256:
        return QStringLiteral("pbkdf2-sha256");
    case Format::Pbkdf2Mcf512:
        return QStringLiteral("pbkdf2-sha512");
    case Format::Ssha:
        return QStringLiteral("ssha");
    case Format::Ssha256:
        return QStringLiteral("ssha256");
    case Format::Ssha512:
        return QStringLiteral("ssha512");
    case Format::Plain:
        return QStringLiteral("plain");
    case Format::Md5Crypt:
        return QStringLiteral("md5crypt");
    case Format::DesCrypt:
        return QStringLiteral("descrypt");
    case Format::Sha:
        return QStringLiteral("sha");
    case Format::Md5:
        return QStringLiteral("md5");
    case Format::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

bool isWeak(Format format)
{
    return format == Format::Md5Crypt || format == Format::DesCrypt || format == Format::Sha
        || format == Format::Md5;
}

QString prefixOf(const QByteArray &stored)
{
    if (const Prefix *prefix = prefixEntry(stored))
        return QString::fromLatin1(prefix->text);
    return formatOf(stored) == Format::DesCrypt ? QStringLiteral("(none: DES crypt)")
                                                : QStringLiteral("(none known)");
}

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

Result verify(const QByteArray &password, const QByteArray &asStored, bool allowWeak)
{
    const Format format = formatOf(asStored);
    const QByteArray stored = format == Format::Plain ? asStored : withoutPadding(asStored);
    if (format == Format::Unknown)
        return Result::Unknown;
    if (isWeak(format) && !allowWeak)
        return Result::Refused;
    if (stored.contains('\0'))
        return Result::Malformed;
    if (isCrypt(format))
        return verifyCrypt(format, password, stored);
    switch (format) {
    case Format::Argon2id:
    case Format::Argon2i:
        return verifyArgon2(format, password, stored);
    case Format::Pbkdf2Sha256:
    case Format::Pbkdf2Mcf256:
    case Format::Pbkdf2Mcf512:
        return verifyPbkdf2(format, password, stored);
    case Format::Plain:
        return constantTimeEqual(password, stored.mid(stored.indexOf('}') + 1)) ? Result::Match
                                                                                : Result::Mismatch;
    default:
        return verifyDigest(format, password, stored);
    }
}

bool constantTimeEqual(const QByteArray &a, const QByteArray &b)
{
    unsigned char differ = a.size() == b.size() ? 0 : 1;
    const int n = qMin(a.size(), b.size());
    for (int i = 0; i < n; ++i)
        differ |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return differ == 0;
}

} // namespace Passwords
