#ifndef FUZZTARGETS_H
#define FUZZTARGETS_H

#include <cstddef>
#include <cstdint>

// One entry per fuzz target. libFuzzer drives them in the fuzz build; the
// normal test run replays the committed corpus through the same functions.
namespace Fuzz {
int httpRequest(const uint8_t *data, size_t size);
int lookupReply(const uint8_t *data, size_t size);
int aesDecrypt(const uint8_t *data, size_t size);
int proxyProtocol(const uint8_t *data, size_t size);
int storedPassword(const uint8_t *data, size_t size);
int authRequest(const uint8_t *data, size_t size);
} // namespace Fuzz

// Every target: its name (of its executable fuzz_<name> and its corpus
// tests/fuzz/corpus/<name>) and its function. The one list; CMake reads the
// names from here.
#define FUZZ_TARGETS(X)                                                                                        \
    X(httprequest, httpRequest)                                                                                \
    X(lookupreply, lookupReply)                                                                                \
    X(aesdecrypt, aesDecrypt)                                                                                  \
    X(proxyprotocol, proxyProtocol)                                                                            \
    X(authrequest, authRequest)                                                                                \
    X(storedpassword, storedPassword)

#endif // FUZZTARGETS_H
