// libFuzzer's entry for the program's entry, given an argument vector.
#include <cstddef>
#include <cstdint>

#include "fuzz/targets/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzCommandLine(data, size);
    return 0;
}
