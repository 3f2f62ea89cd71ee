#include <array>

#include "fuzz/targets/FuzzTargets.h"

namespace fuzz {

std::span<const Target> Targets() {
    static constexpr std::array<Target, 10> kTargets = {{
        {"AppInstallerFile", FuzzAppInstallerFile},
        {"Manifest", FuzzManifest},
        {"BlockMap", FuzzBlockMap},
        {"BundleManifest", FuzzBundleManifest},
        {"ContentTypes", FuzzContentTypes},
        {"Package", FuzzPackage},
        {"Signature", FuzzSignature},
        {"SignedZip", FuzzSignedZip},
        {"Uri", FuzzUri},
        {"CommandLine", FuzzCommandLine},
    }};
    return kTargets;
}

}  // namespace fuzz
