// Writes bundles exactly as the platform's packer writes them: each package
// stored (not compressed) so that it can be read in place, then AppxMetadata/
// AppxBundleManifest.xml giving each one's offset and size and what its own
// manifest says it applies to, a block map that lists only the bundle
// manifest, and [Content_Types].xml.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/packaging/PackageWriter.h"

namespace packaging {

struct BundledPackageFile {
    std::filesystem::path file;  // stored under its file name
    Identity identity;           // as its manifest gives it
    bool application = true;     // otherwise a resource package
    std::vector<std::string> languages;  // its Resources in place of those its manifest declares
};

// Where a package's data is in the bundle file.
struct StoredRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// What a bundle manifest copies from a package's manifest: the attributes of
// each Resource and of each TargetDeviceFamily, by local name, in order.
using XmlAttributes = std::vector<std::pair<std::string, std::string>>;
struct PackageApplicability {
    std::vector<XmlAttributes> resources;
    std::vector<XmlAttributes> targetDeviceFamilies;
};
// Raises std::runtime_error when the manifest is not XML.
PackageApplicability ApplicabilityOf(std::string_view manifestXml);

// The bundle manifest for a bundle of `identity` (its name, publisher and
// version) holding the packages at those ranges, with what each applies to
// (by index; none for a package beyond the list).
// A flat bundle's names each package's file, which lies beside the bundle.
std::string BundleManifestXml(const Identity& identity, const std::vector<BundledPackageFile>& packages,
                              const std::vector<StoredRange>& ranges,
                              const std::vector<PackageApplicability>& applicability = {}, bool flat = false);

// Writes a bundle to `bundleFile` (replacing it), its block map in the options'
// hash method and signed by their signer; each package's AppxManifest.xml is
// read for what it applies to. Raises std::runtime_error on failure.
void WriteBundle(const std::filesystem::path& bundleFile, const Identity& identity,
                 const std::vector<BundledPackageFile>& packages, const PackageOptions& options = {});

// Writes a flat bundle: its manifest names the packages, which it does not
// hold; each is a file of that name beside the bundle, signed on its own.
void WriteFlatBundle(const std::filesystem::path& bundleFile, const Identity& identity,
                     const std::vector<BundledPackageFile>& packages, const PackageOptions& options = {});

// The data offset and size of each named entry of a ZIP file, from its central
// directory and local headers (ZIP64 records included).
std::vector<StoredRange> StoredRanges(const std::filesystem::path& zipFile, const std::vector<std::string>& names);
// An entry's data, inflated when it is deflated.
std::string ReadZipEntry(const std::filesystem::path& zipFile, const std::string& name);

}  // namespace packaging
