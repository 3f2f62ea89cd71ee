// libFuzzer's entry for the package (ZIP) reader and its entry-path checks.
#include <cstddef>
#include <cstdint>

#include "fuzz/targets/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzPackage(data, size);
    return 0;
}
