#ifndef AES_H
#define AES_H

// AES-256 block cipher (FIPS-197) and the ECB, CBC and CTR ways of running it
// over a buffer (NIST SP 800-38A).
//
// Limits, stated plainly:
// - One key size only: 256 bits (Nk = 8, Nr = 14). No 128- or 192-bit keys.
// - Table S-box, byte-oriented: the lookups depend on secret data, so this is
//   NOT constant-time and must not be used where an attacker can time it.
// - No padding and no authentication: callers pad (see AesCipher) and callers
//   decide what a wrong key means.
// - Inputs are trusted: a key is read as exactly 32 bytes, an IV or a block as
//   exactly 16. Nothing is checked and nothing can fail.
// - Everything works in place on the caller's buffer, allocates nothing and
//   keeps no state outside the caller's context; the only shared data are the
//   constant tables, so the functions are reentrant.
// - The core wipes its own temporaries; the caller wipes the context it owns.

#include <cstddef>
#include <cstdint>

constexpr std::size_t AesBlockBytes = 16;     // Nb = 4 words
constexpr std::size_t AesKeyBytes = 32;       // Nk = 8 words
constexpr int AesRounds = 14;                 // Nr
constexpr std::size_t AesRoundKeyBytes = 240; // 60 words, 15 round keys

// The caller owns it. The round keys never change after aesInit; only iv moves.
struct AesContext
{
    std::uint8_t roundKey[AesRoundKeyBytes]; // w[0] .. w[59], each word's bytes in order
    std::uint8_t iv[AesBlockBytes];          // CBC: IV, then the last ciphertext block; CTR: counter
};

// ---- Set-up ------------------------------------------------------------------
// Expands the 32-byte key into ctx->roundKey; ctx->iv is left as it was.
void aesInit(AesContext *ctx, const std::uint8_t *key);
// aesInit, then copies the 16 iv bytes into ctx->iv.
void aesInitWithIv(AesContext *ctx, const std::uint8_t *key, const std::uint8_t *iv);
// Copies the 16 iv bytes into ctx->iv; the round keys are unchanged.
void aesSetIv(AesContext *ctx, const std::uint8_t *iv);

// ---- Single blocks (ECB) -----------------------------------------------------
// Enciphers one 16-byte block in place; ctx->iv is not used.
void aesEncryptBlock(const AesContext *ctx, std::uint8_t *block);
// Deciphers one 16-byte block in place; ctx->iv is not used.
void aesDecryptBlock(const AesContext *ctx, std::uint8_t *block);

// ---- Cipher block chaining (CBC) ---------------------------------------------
// Whole 16-byte blocks only: a trailing partial block (length % 16 bytes) is
// left untouched and does not enter the chain. ctx->iv ends as the last
// ciphertext block, so a following call continues the chain.
// Encrypts length bytes in place, chaining through ctx->iv.
void aesCbcEncrypt(AesContext *ctx, std::uint8_t *buffer, std::size_t length);
// Decrypts length bytes in place, chaining through ctx->iv.
void aesCbcDecrypt(AesContext *ctx, std::uint8_t *buffer, std::size_t length);

// ---- Counter mode (CTR) ------------------------------------------------------
// XORs length bytes (any length, 0 included) with the keystream; the same call
// encrypts and decrypts. ctx->iv is one big-endian 128-bit counter that wraps
// modulo 2^128; afterwards it holds the next unused value. Keystream left over
// from a call's last block is discarded: each call starts on a fresh block.
void aesCtrApply(AesContext *ctx, std::uint8_t *buffer, std::size_t length);

#endif // AES_H
