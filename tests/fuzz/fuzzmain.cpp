// libFuzzer entry; FUZZ_ENTRY names the target function (set by CMake).
#include "fuzztargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return Fuzz::FUZZ_ENTRY(data, size);
}
