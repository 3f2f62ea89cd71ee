#include <array>

#include "fuzz/targets/FuzzTargets.h"

namespace fuzz {

std::span<const Target> Targets() {
    static constexpr std::array<Target, 6> kTargets = {{
        {"AppInstallerFile", FuzzAppInstallerFile},
        {"Manifest", FuzzManifest},
        {"BlockMap", FuzzBlockMap},
        {"Package", FuzzPackage},
        {"Uri", FuzzUri},
        {"CommandLine", FuzzCommandLine},
    }};
    return kTargets;
}

}  // namespace fuzz
