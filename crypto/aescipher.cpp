#include "aescipher.h"
#include "aes.h"
#include "wipe.h"

#include <QtDebug>

struct AesCipherPrivate
{
    qint32 mode = AesCipher::CTR; // an int, so a foreign value written by number stays readable
    QByteArray key;
    QByteArray iv;
};

namespace {

// Zeros this object's own copy of the bytes (data() detaches first when they
// are shared, so other holders keep theirs), then leaves the value null.
void wipe(QByteArray &bytes)
{
    if (!bytes.isEmpty())
        secureWipe(bytes.data(), std::size_t(bytes.size()));
    bytes = QByteArray();
}

// ECB is what every value other than CTR and CBC means.
bool needsIv(qint32 mode)
{
    return mode == AesCipher::CTR || mode == AesCipher::CBC;
}

bool wholeBlocksOnly(qint32 mode)
{
    return mode != AesCipher::CTR;
}

// Says why a call cannot run with these values, in one warning, and returns
// true; returns false when it can run.
bool refuse(const AesCipherPrivate &d, int inputLength, bool decrypting)
{
    QString problem;
    if (d.key.size() < int(AesKeyBytes))
        problem
            = QStringLiteral("AesCipher: key must be %1 bytes, got %2").arg(AesKeyBytes).arg(d.key.size());
    else if (needsIv(d.mode) && d.iv.isNull())
        problem = QStringLiteral("AesCipher: no IV set; CTR and CBC need %1 bytes").arg(AesBlockBytes);
    else if (needsIv(d.mode) && d.iv.size() < int(AesBlockBytes))
        problem
            = QStringLiteral("AesCipher: IV must be %1 bytes, got %2").arg(AesBlockBytes).arg(d.iv.size());
    else if (decrypting && wholeBlocksOnly(d.mode) && inputLength % int(AesBlockBytes) != 0)
        problem = QStringLiteral("AesCipher: ciphertext must be whole %1-byte blocks, got %2 bytes")
                      .arg(AesBlockBytes)
                      .arg(inputLength);
    if (problem.isEmpty())
        return false;
    qWarning().noquote() << problem;
    return true;
}

// Runs the stored mode over the buffer in place, on a context made for this
// call only, so no chaining value carries over. The IV is loaded when there is
// a whole one (refuse() has turned away CBC and CTR without one); the first
// 32 key bytes are read.
void applyMode(const AesCipherPrivate &d, QByteArray &buffer, bool decrypting)
{
    AesContext ctx;
    const auto *key = reinterpret_cast<const std::uint8_t *>(d.key.constData());
    if (d.iv.size() >= int(AesBlockBytes))
        aesInitWithIv(&ctx, key, reinterpret_cast<const std::uint8_t *>(d.iv.constData()));
    else
        aesInit(&ctx, key);

    auto *data = reinterpret_cast<std::uint8_t *>(buffer.data());
    const auto length = std::size_t(buffer.size());
    if (d.mode == AesCipher::CBC) {
        if (decrypting)
            aesCbcDecrypt(&ctx, data, length);
        else
            aesCbcEncrypt(&ctx, data, length);
    } else if (d.mode == AesCipher::CTR) {
        aesCtrApply(&ctx, data, length);
    } else {
        for (std::size_t offset = 0; offset + AesBlockBytes <= length; offset += AesBlockBytes) {
            if (decrypting)
                aesDecryptBlock(&ctx, data + offset);
            else
                aesEncryptBlock(&ctx, data + offset);
        }
    }
    secureWipe(&ctx, sizeof ctx);
}

// Removes PKCS#7 padding by the last byte alone, read as a signed number:
// 1..127 removes that many bytes (all when it is not smaller than the length),
// 0 and 0x80..0xff remove nothing. The padding bytes are not checked.
void unpad(QByteArray &buffer)
{
    if (buffer.isEmpty())
        return;
    const int n = static_cast<signed char>(buffer.at(buffer.size() - 1));
    if (n > 0)
        buffer.chop(qMin(n, buffer.size()));
}

} // namespace

AesCipher::AesCipher(QObject *parent) : QObject(parent), d(new AesCipherPrivate)
{ }

AesCipher::AesCipher(CipherMode mode, const QByteArray &key, const QByteArray &iv, QObject *parent)
    : QObject(parent), d(new AesCipherPrivate)
{
    d->mode = mode;
    d->key = key;
    d->iv = iv;
}

AesCipher::~AesCipher()
{
    wipe(d->key);
    wipe(d->iv);
}

AesCipher::CipherMode AesCipher::mode() const
{
    return CipherMode(d->mode);
}

QByteArray AesCipher::key() const
{
    return d->key;
}

QByteArray AesCipher::iv() const
{
    return d->iv;
}

void AesCipher::setMode(AesCipher::CipherMode mode)
{
    d->mode = mode;
}

void AesCipher::setKey(const QByteArray &key)
{
    resetKey();
    d->key = key;
}

void AesCipher::resetKey()
{
    wipe(d->key);
}

void AesCipher::setIv(const QByteArray &iv)
{
    resetIv();
    if (iv.isEmpty())
        return;
    if (iv.size() > BLOCKSIZE)
        qWarning("IV is longer then AesCipher::BLOCKSIZE - the rest will be truncated");
    d->iv = iv.left(BLOCKSIZE);
}

void AesCipher::resetIv()
{
    wipe(d->iv);
}

QByteArray AesCipher::encrypt(const QByteArray &plain) const
{
    if (refuse(*d, plain.size(), false))
        return QByteArray();
    // PKCS#7: n bytes of value n, 1 <= n <= 16; whole-block input gains a full block.
    const int n = BLOCKSIZE - plain.size() % BLOCKSIZE;
    QByteArray out;
    out.reserve(plain.size() + n);
    out.append(plain);
    out.append(n, char(n));
    applyMode(*d, out, false);
    return out;
}

QByteArray AesCipher::decrypt(const QByteArray &cipher) const
{
    if (refuse(*d, cipher.size(), true))
        return QByteArray();
    QByteArray out = cipher;
    if (out.isEmpty())
        return out;
    applyMode(*d, out, true);
    unpad(out);
    return out;
}
