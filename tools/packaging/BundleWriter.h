// Writes bundles as the platform's packer lays them out: each package stored
// (not compressed) so that it can be read in place, AppxMetadata/
// AppxBundleManifest.xml giving each one's offset and size, [Content_Types].xml
// and a block map of the bundle's own entries.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/packaging/PackageWriter.h"

namespace packaging {

struct BundledPackageFile {
    std::filesystem::path file;  // stored under its file name
    Identity identity;           // as its manifest gives it
    bool application = true;     // otherwise a resource package
    std::vector<std::string> languages;
};

// Where a package's data is in the bundle file.
struct StoredRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// The bundle manifest for a bundle of `identity` (its name, publisher and
// version) holding the packages at those ranges.
std::string BundleManifestXml(const Identity& identity, const std::vector<BundledPackageFile>& packages,
                              const std::vector<StoredRange>& ranges);

// Writes a bundle to `bundleFile` (replacing it), its block map in the options'
// hash method and signed by their signer; raises std::runtime_error on failure.
void WriteBundle(const std::filesystem::path& bundleFile, const Identity& identity,
                 const std::vector<BundledPackageFile>& packages, const PackageOptions& options = {});

// The data offset and size of each named entry of a ZIP file, from its central
// directory and local headers (ZIP64 records included).
std::vector<StoredRange> StoredRanges(const std::filesystem::path& zipFile, const std::vector<std::string>& names);

}  // namespace packaging
