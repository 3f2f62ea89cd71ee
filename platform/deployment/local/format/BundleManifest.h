// The bundle manifest (AppxMetadata/AppxBundleManifest.xml): the bundle's own
// identity and the packages it carries, each where it is stored in the bundle
// or, in a flat bundle, the file beside it that holds it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/deployment/local/format/Names.h"

namespace platform::deployment::local {

constexpr std::string_view kBundleManifestName = "AppxMetadata/AppxBundleManifest.xml";

struct BundledPackage {
    bool application = false;  // Type="application"; otherwise a resource package
    // Name and publisher are the bundle's; version, architecture and resource
    // id the Package element's.
    PackageIdentity identity;
    std::string fileName;  // UTF-8, as the bundle's entry is named
    // Where the bundle stores it; a flat bundle's packages are files beside it
    // of that name instead.
    bool stored = true;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::vector<std::wstring> languages;  // Resource Language values, as written
};

struct BundleManifest {
    PackageIdentity identity;  // architecture neutral, resource id "~"
    std::vector<BundledPackage> packages;
};

// Reads a bundle manifest. Raises 0x80080204 with a text saying what is wrong
// for malformed XML, another root or namespace, an identity or a Package
// element with a missing or invalid attribute, a range that does not fit in
// 64 bits, two packages of one file name or full name, or no application
// package.
BundleManifest ReadBundleManifest(std::string_view bytes);

}  // namespace platform::deployment::local
