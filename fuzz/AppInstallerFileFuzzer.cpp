// libFuzzer's entry for the AppInstaller file reader.
#include <cstddef>
#include <cstdint>

#include "fuzz/targets/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzAppInstallerFile(data, size);
    return 0;
}
