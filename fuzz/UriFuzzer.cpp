// libFuzzer's entry for the URI class.
#include <cstddef>
#include <cstdint>

#include "fuzz/targets/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzUri(data, size);
    return 0;
}
