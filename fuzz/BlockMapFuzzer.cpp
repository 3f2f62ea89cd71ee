// libFuzzer's entry for the block map reader and checker.
#include <cstddef>
#include <cstdint>

#include "fuzz/targets/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzBlockMap(data, size);
    return 0;
}
