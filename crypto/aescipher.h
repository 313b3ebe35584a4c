#ifndef AESCIPHER_H
#define AESCIPHER_H

#include "aes.h"

#include <QByteArray>
#include <QObject>

#include <memory>

struct AesCipherPrivate;

// Holds a mode, a key and an IV and encrypts or decrypts whole byte strings
// with AES-256 (crypto/aes.h), adding PKCS#7 padding on encryption and
// removing it on decryption. Settable by name through the meta-object system.
//
// Every call starts from the stored IV: no chaining state survives a call.
// Unusable settings are refused, never read past: a key under 32 bytes, or in
// CBC and CTR an IV that is null or under 16 bytes, gives an empty result and
// one warning; so does a CBC or ECB ciphertext that is not whole blocks.
// A longer key uses its first 32 bytes. Decryption does not check the padding
// bytes: a wrong key yields wrong plaintext, not an error.
// Key and IV bytes are wiped on reset, on replacement and on destruction.
class AesCipher : public QObject
{
    Q_OBJECT
    Q_PROPERTY(CipherMode mode READ mode WRITE setMode)
    Q_PROPERTY(QByteArray key READ key WRITE setKey RESET resetKey)
    Q_PROPERTY(QByteArray iv READ iv WRITE setIv RESET resetIv)

public:
    enum CipherMode { CTR, CBC, ECB };
    Q_ENUM(CipherMode)

    static constexpr int BLOCKSIZE = int(AesBlockBytes);

    ~AesCipher() override;
    explicit AesCipher(QObject *parent = nullptr);
    // Stores the three values unchanged: no length checks, no truncation.
    AesCipher(CipherMode mode, const QByteArray &key, const QByteArray &iv, QObject *parent = nullptr);

    CipherMode mode() const;
    QByteArray key() const;
    QByteArray iv() const;

    // One-shot: a temporary object, one call, its key copy wiped.
    // clang-format off
    static QByteArray encryptCtr(const QByteArray &key, const QByteArray &iv, const QByteArray &plain) { return AesCipher(CTR, key, iv).encrypt(plain); }
    static QByteArray encryptCbc(const QByteArray &key, const QByteArray &iv, const QByteArray &plain) { return AesCipher(CBC, key, iv).encrypt(plain); }
    static QByteArray encryptEcb(const QByteArray &key, const QByteArray &plain) { return AesCipher(ECB, key, QByteArray()).encrypt(plain); }
    static QByteArray decryptCtr(const QByteArray &key, const QByteArray &iv, const QByteArray &cipher) { return AesCipher(CTR, key, iv).decrypt(cipher); }
    static QByteArray decryptCbc(const QByteArray &key, const QByteArray &iv, const QByteArray &cipher) { return AesCipher(CBC, key, iv).decrypt(cipher); }
    static QByteArray decryptEcb(const QByteArray &key, const QByteArray &cipher) { return AesCipher(ECB, key, QByteArray()).decrypt(cipher); }
    // clang-format on

public slots:
    void setMode(AesCipher::CipherMode mode);
    void setKey(const QByteArray &key); // any length; the old key is wiped first
    void resetKey();                    // wipes the key and leaves it null
    void setIv(const QByteArray &iv);   // keeps at most BLOCKSIZE bytes; empty leaves it null
    void resetIv();                     // wipes the IV and leaves it null

public:
    // Padded ciphertext (a multiple of 16 bytes), or empty when refused.
    Q_INVOKABLE QByteArray encrypt(const QByteArray &plain) const;
    // Plaintext with the padding removed, or empty when refused.
    Q_INVOKABLE QByteArray decrypt(const QByteArray &cipher) const;

private:
    std::unique_ptr<AesCipherPrivate> d;
};

#endif // AESCIPHER_H
