#include "aes.h"
#include "wipe.h"

#include <cstring>
#include <utility>

// The file follows the header's headings. The step functions are named after
// FIPS-197's, so cipher() and invCipher() read like its round loops.

namespace {

// ---- Constant tables -----------------------------------------------------------

// Sixteen bytes to a row, as the standard prints the tables.
// clang-format off

// S-box, FIPS-197 Figure 7; row = high nibble, column = low nibble.
constexpr std::uint8_t sbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16,
};

// clang-format on

// Inverse S-box (FIPS-197 Figure 14): the S-box read backwards, made by the compiler.
struct InverseSbox
{
    std::uint8_t table[256] = {};
    constexpr InverseSbox()
    {
        for (int i = 0; i < 256; ++i)
            table[sbox[i]] = std::uint8_t(i);
    }
};
constexpr InverseSbox invSboxTable;
constexpr const std::uint8_t *invSbox = invSboxTable.table;

// Rcon[i] is the first byte of FIPS-197's word Rcon[i]; entry 0 is never used,
// and the 256-bit key schedule reaches entry 7.
const std::uint8_t rcon[11] = {0x8d, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1b, 0x36};

// Multiplication by x (that is, 2) in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
// Branch-free: the reduction is a multiply of the top bit, not an if.
inline std::uint8_t xtime(std::uint8_t x)
{
    return std::uint8_t((x << 1) ^ ((x >> 7) * 0x1b));
}

// ---- Key schedule (FIPS-197 5.2, Nk = 8) ---------------------------------------

void keyExpansion(std::uint8_t *w, const std::uint8_t *key)
{
    std::memcpy(w, key, AesKeyBytes);
    std::uint8_t temp[4];
    for (int i = 8; i < 60; ++i) {
        std::memcpy(temp, w + 4 * (i - 1), 4);
        if (i % 8 == 0) {
            // SubWord(RotWord(temp)) XOR Rcon[i/8]
            const std::uint8_t first = temp[0];
            temp[0] = std::uint8_t(sbox[temp[1]] ^ rcon[i / 8]);
            temp[1] = sbox[temp[2]];
            temp[2] = sbox[temp[3]];
            temp[3] = sbox[first];
        } else if (i % 8 == 4) {
            for (std::uint8_t &b : temp)
                b = sbox[b];
        }
        for (int k = 0; k < 4; ++k)
            w[4 * i + k] = std::uint8_t(w[4 * (i - 8) + k] ^ temp[k]);
    }
    secureWipe(temp, sizeof temp);
}

// ---- Round steps ---------------------------------------------------------------
// The state is the caller's 16-byte block: byte n is row n % 4, column n / 4.
// __restrict promises that the state overlaps neither the round key nor the
// tables: without it every byte store forces the compiler to reload what it has
// already read, and both directions run about a third slower.

inline void addRoundKey(std::uint8_t *__restrict state, const std::uint8_t *__restrict roundKey)
{
    for (std::size_t i = 0; i < AesBlockBytes; ++i)
        state[i] ^= roundKey[i];
}

inline void subBytes(std::uint8_t *__restrict state)
{
    for (std::size_t i = 0; i < AesBlockBytes; ++i)
        state[i] = sbox[state[i]];
}

inline void invSubBytes(std::uint8_t *__restrict state)
{
    for (std::size_t i = 0; i < AesBlockBytes; ++i)
        state[i] = invSbox[state[i]];
}

// Row r rotates left by r columns.
inline void shiftRows(std::uint8_t *__restrict s)
{
    std::uint8_t t = s[1];
    s[1] = s[5], s[5] = s[9], s[9] = s[13], s[13] = t;
    t = s[2], s[2] = s[10], s[10] = t;
    t = s[6], s[6] = s[14], s[14] = t;
    t = s[15];
    s[15] = s[11], s[11] = s[7], s[7] = s[3], s[3] = t;
}

// Row r rotates right by r columns.
inline void invShiftRows(std::uint8_t *__restrict s)
{
    std::uint8_t t = s[13];
    s[13] = s[9], s[9] = s[5], s[5] = s[1], s[1] = t;
    t = s[2], s[2] = s[10], s[10] = t;
    t = s[6], s[6] = s[14], s[14] = t;
    t = s[3];
    s[3] = s[7], s[7] = s[11], s[11] = s[15], s[15] = t;
}

// One column times {03}x^3 + {01}x^2 + {01}x + {02}. With t the XOR of all four
// bytes, s0' = 2*s0 ^ 3*s1 ^ s2 ^ s3 = s0 ^ t ^ 2*(s0 ^ s1), and so on round
// the column: one xtime per byte.
inline void mixColumn(std::uint8_t *__restrict c)
{
    const std::uint8_t a0 = c[0], a1 = c[1], a2 = c[2], a3 = c[3];
    const std::uint8_t t = std::uint8_t(a0 ^ a1 ^ a2 ^ a3);
    c[0] = std::uint8_t(a0 ^ t ^ xtime(std::uint8_t(a0 ^ a1)));
    c[1] = std::uint8_t(a1 ^ t ^ xtime(std::uint8_t(a1 ^ a2)));
    c[2] = std::uint8_t(a2 ^ t ^ xtime(std::uint8_t(a2 ^ a3)));
    c[3] = std::uint8_t(a3 ^ t ^ xtime(std::uint8_t(a3 ^ a0)));
}

inline void mixColumns(std::uint8_t *__restrict state)
{
    for (int c = 0; c < 4; ++c)
        mixColumn(state + 4 * c);
}

// The inverse matrix {0b}x^3 + {0d}x^2 + {09}x + {0e} equals the forward one
// times {04}x^2 + {05}, so the 9/11/13/14 products come from four extra
// xtimes per column and then the forward step: half the work of multiplying
// each byte by 9, 11, 13 and 14 separately, and decryption is the slow side.
inline void invMixColumns(std::uint8_t *__restrict state)
{
    for (int c = 0; c < 4; ++c) {
        std::uint8_t *col = state + 4 * c;
        const std::uint8_t u = xtime(xtime(std::uint8_t(col[0] ^ col[2])));
        const std::uint8_t v = xtime(xtime(std::uint8_t(col[1] ^ col[3])));
        col[0] ^= u;
        col[1] ^= v;
        col[2] ^= u;
        col[3] ^= v;
        mixColumn(col);
    }
}

// ---- Cipher and InvCipher (FIPS-197 5.1 and 5.3) -------------------------------

void cipher(std::uint8_t *__restrict state, const std::uint8_t *__restrict roundKey)
{
    addRoundKey(state, roundKey);
    for (int round = 1; round < AesRounds; ++round) {
        subBytes(state);
        shiftRows(state);
        mixColumns(state);
        addRoundKey(state, roundKey + round * AesBlockBytes);
    }
    subBytes(state);
    shiftRows(state);
    addRoundKey(state, roundKey + AesRounds * AesBlockBytes);
}

void invCipher(std::uint8_t *__restrict state, const std::uint8_t *__restrict roundKey)
{
    addRoundKey(state, roundKey + AesRounds * AesBlockBytes);
    for (int round = AesRounds - 1; round > 0; --round) {
        invShiftRows(state);
        invSubBytes(state);
        addRoundKey(state, roundKey + round * AesBlockBytes);
        invMixColumns(state);
    }
    invShiftRows(state);
    invSubBytes(state);
    addRoundKey(state, roundKey);
}

inline void xorBlock(std::uint8_t *target, const std::uint8_t *with)
{
    for (std::size_t i = 0; i < AesBlockBytes; ++i)
        target[i] ^= with[i];
}

// Adds one to the big-endian 128-bit counter; all 0xff wraps to all zeros.
inline void incrementCounter(std::uint8_t *counter)
{
    for (std::size_t i = AesBlockBytes; i-- > 0;) {
        if (++counter[i] != 0)
            return;
    }
}

} // namespace

// ---- Set-up ------------------------------------------------------------------

void aesInit(AesContext *ctx, const std::uint8_t *key)
{
    keyExpansion(ctx->roundKey, key);
}

void aesInitWithIv(AesContext *ctx, const std::uint8_t *key, const std::uint8_t *iv)
{
    aesInit(ctx, key);
    aesSetIv(ctx, iv);
}

void aesSetIv(AesContext *ctx, const std::uint8_t *iv)
{
    std::memcpy(ctx->iv, iv, AesBlockBytes);
}

// ---- Single blocks (ECB) -----------------------------------------------------

void aesEncryptBlock(const AesContext *ctx, std::uint8_t *block)
{
    cipher(block, ctx->roundKey);
}

void aesDecryptBlock(const AesContext *ctx, std::uint8_t *block)
{
    invCipher(block, ctx->roundKey);
}

// ---- Cipher block chaining (CBC) ---------------------------------------------

void aesCbcEncrypt(AesContext *ctx, std::uint8_t *buffer, std::size_t length)
{
    const std::size_t whole = length - length % AesBlockBytes;
    if (whole == 0)
        return;
    const std::uint8_t *previous = ctx->iv;
    for (std::size_t offset = 0; offset < whole; offset += AesBlockBytes) {
        std::uint8_t *block = buffer + offset;
        xorBlock(block, previous);
        cipher(block, ctx->roundKey);
        previous = block;
    }
    std::memcpy(ctx->iv, previous, AesBlockBytes);
}

void aesCbcDecrypt(AesContext *ctx, std::uint8_t *buffer, std::size_t length)
{
    const std::size_t whole = length - length % AesBlockBytes;
    std::uint8_t kept[AesBlockBytes]; // the ciphertext block, needed after it is overwritten
    for (std::size_t offset = 0; offset < whole; offset += AesBlockBytes) {
        std::uint8_t *block = buffer + offset;
        std::memcpy(kept, block, AesBlockBytes);
        invCipher(block, ctx->roundKey);
        xorBlock(block, ctx->iv);
        std::memcpy(ctx->iv, kept, AesBlockBytes);
    }
    secureWipe(kept, sizeof kept);
}

// ---- Counter mode (CTR) ------------------------------------------------------

void aesCtrApply(AesContext *ctx, std::uint8_t *buffer, std::size_t length)
{
    std::uint8_t keystream[AesBlockBytes];
    for (std::size_t offset = 0; offset < length; offset += AesBlockBytes) {
        std::memcpy(keystream, ctx->iv, AesBlockBytes);
        cipher(keystream, ctx->roundKey);
        incrementCounter(ctx->iv);
        const std::size_t n = length - offset < AesBlockBytes ? length - offset : AesBlockBytes;
        for (std::size_t i = 0; i < n; ++i)
            buffer[offset + i] ^= keystream[i];
    }
    secureWipe(keystream, sizeof keystream);
}
