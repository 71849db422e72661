// The libFuzzer entry point of one target, chosen at build time with
// FUZZ_TARGET_FUNCTION.
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FUZZ_TARGET_FUNCTION(data, size);
    return 0;
}
