#include "fuzz/targets/FuzzTargets.h"
#include "fuzz/targets/Support.h"
#include "platform/Error.h"
#include "platform/deployment/local/format/BundleManifest.h"
#include "platform/deployment/local/format/Names.h"

namespace fuzz {

void FuzzBundleManifest(const std::uint8_t* data, std::size_t size) {
    namespace local = platform::deployment::local;
    try {
        const local::BundleManifest manifest = local::ReadBundleManifest(AsText(data, size));
        const auto bundle = local::ParseFullName(local::FullName(manifest.identity));
        Require(bundle.has_value() && bundle->resourceId == local::kBundleResourceId &&
                    bundle->architecture == L"neutral",
                "an accepted bundle's full name parses as a bundle's");
        bool application = false;
        for (const local::BundledPackage& package : manifest.packages) {
            application = application || package.application;
            Require(local::FamilyName(package.identity) == local::FamilyName(manifest.identity),
                    "a bundled package is of the bundle's family");
            Require(package.size <= UINT64_MAX - package.offset, "a bundled package's range fits in 64 bits");
            const auto parts = local::ParseFullName(local::FullName(package.identity));
            Require(parts.has_value() && parts->resourceId != local::kBundleResourceId,
                    "a bundled package's full name parses as a package's");
        }
        Require(application, "an accepted bundle has an application package");
    } catch (const platform::PlatformError&) {
    }
}

}  // namespace fuzz
