// The AES-256 core beside OpenSSL's EVP AES-256, in one process so both see the
// same machine load; a table of ratios follows the usual benchmark table.
//
// OpenSSL picks its code path when it starts: OPENSSL_ia32cap="~0x200000200000000"
// turns AES-NI (and the carry-less multiply) off, which is the fair reference for
// a table-based software AES. Run once with it and once without.

#include "crypto/aes.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t BufferBytes = 1 << 20; // 1 MiB per iteration for the modes

const std::uint8_t benchKey[AesKeyBytes]
    = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae, 0xf0, 0x85, 0x7d, 0x77, 0x81, 0x1f,
        0x35, 0x2c, 0x07, 0x3b, 0x61, 0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
const std::uint8_t benchIv[AesBlockBytes] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

std::vector<std::uint8_t> message(std::size_t length)
{
    std::vector<std::uint8_t> data(length);
    for (std::size_t i = 0; i < length; ++i)
        data[i] = std::uint8_t(i * 7 + 3);
    return data;
}

// ---- The core ------------------------------------------------------------------

using CoreMode = void (*)(AesContext *, std::uint8_t *, std::size_t);

void coreBlock(benchmark::State &state, bool decrypting)
{
    AesContext ctx;
    aesInit(&ctx, benchKey);
    auto block = message(AesBlockBytes);
    for (auto _ : state) {
        if (decrypting)
            aesDecryptBlock(&ctx, block.data());
        else
            aesEncryptBlock(&ctx, block.data());
        benchmark::DoNotOptimize(block.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(AesBlockBytes));
}

void coreMode(benchmark::State &state, CoreMode run)
{
    AesContext ctx;
    aesInitWithIv(&ctx, benchKey, benchIv);
    auto buffer = message(BufferBytes);
    for (auto _ : state) {
        run(&ctx, buffer.data(), buffer.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(BufferBytes));
}

// ---- OpenSSL EVP ---------------------------------------------------------------

using EvpContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

EvpContext evpContext(const EVP_CIPHER *type, bool decrypting)
{
    EvpContext ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EVP_CipherInit_ex(ctx.get(), type, nullptr, benchKey, benchIv, decrypting ? 0 : 1);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    return ctx;
}

void evpRun(benchmark::State &state, const EVP_CIPHER *type, bool decrypting, std::size_t length)
{
    EvpContext ctx = evpContext(type, decrypting);
    auto buffer = message(length);
    int written = 0;
    for (auto _ : state) {
        EVP_CipherUpdate(ctx.get(), buffer.data(), &written, buffer.data(), int(buffer.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(length));
}

void aes_encrypt_block(benchmark::State &s)
{
    coreBlock(s, false);
}
void aes_decrypt_block(benchmark::State &s)
{
    coreBlock(s, true);
}
void aes_cbc_encrypt_1MiB(benchmark::State &s)
{
    coreMode(s, aesCbcEncrypt);
}
void aes_cbc_decrypt_1MiB(benchmark::State &s)
{
    coreMode(s, aesCbcDecrypt);
}
void aes_ctr_1MiB(benchmark::State &s)
{
    coreMode(s, aesCtrApply);
}

void openssl_encrypt_block(benchmark::State &s)
{
    evpRun(s, EVP_aes_256_ecb(), false, AesBlockBytes);
}
void openssl_decrypt_block(benchmark::State &s)
{
    evpRun(s, EVP_aes_256_ecb(), true, AesBlockBytes);
}
void openssl_cbc_encrypt_1MiB(benchmark::State &s)
{
    evpRun(s, EVP_aes_256_cbc(), false, BufferBytes);
}
void openssl_cbc_decrypt_1MiB(benchmark::State &s)
{
    evpRun(s, EVP_aes_256_cbc(), true, BufferBytes);
}
void openssl_ctr_1MiB(benchmark::State &s)
{
    evpRun(s, EVP_aes_256_ctr(), false, BufferBytes);
}

} // namespace

BENCHMARK(aes_encrypt_block);
BENCHMARK(openssl_encrypt_block);
BENCHMARK(aes_decrypt_block);
BENCHMARK(openssl_decrypt_block);
BENCHMARK(aes_cbc_encrypt_1MiB);
BENCHMARK(openssl_cbc_encrypt_1MiB);
BENCHMARK(aes_cbc_decrypt_1MiB);
BENCHMARK(openssl_cbc_decrypt_1MiB);
BENCHMARK(aes_ctr_1MiB);
BENCHMARK(openssl_ctr_1MiB);

namespace {

// The usual console table, plus the bytes per second of every run kept by name
// (the median when repetitions are asked for) for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    // Colour only on a terminal: a custom reporter does not see --benchmark_color.
    RatioReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) { }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const auto rate = run.counters.find("bytes_per_second");
            if (rate == run.counters.end())
                continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Iteration || median)
                m_rate[run.run_name.function_name] = rate->second.value;
        }
    }

    void printRatios() const
    {
        const char *cap = std::getenv("OPENSSL_ia32cap");
        std::printf("\nOpenSSL path: %s\n",
            cap ? "OPENSSL_ia32cap set (AES-NI off when it is ~0x200000200000000)"
                : "default (AES-NI where the CPU has it)");
        std::printf("%-20s %14s %14s %8s\n", "operation", "core MB/s", "OpenSSL MB/s", "ratio");
        // MB = 10^6 bytes here; the table above counts M as 2^20.
        const char *operations[]
            = {"encrypt_block", "decrypt_block", "cbc_encrypt_1MiB", "cbc_decrypt_1MiB", "ctr_1MiB"};
        for (const char *op : operations) {
            const auto ours = m_rate.find(std::string("aes_") + op);
            const auto theirs = m_rate.find(std::string("openssl_") + op);
            if (ours == m_rate.end() || theirs == m_rate.end() || theirs->second <= 0)
                continue;
            std::printf("%-20s %14.1f %14.1f %7.2fx\n", op, ours->second / 1e6, theirs->second / 1e6,
                ours->second / theirs->second);
        }
    }

private:
    std::map<std::string, double> m_rate;
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}
