#include "tools/packaging/BundleWriter.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <stdexcept>

#include <pugixml.hpp>

#include "tools/packaging/Signing.h"
#include "tools/packaging/XmlWriting.h"

namespace packaging {
namespace {

constexpr const char* kBundleManifestName = "AppxMetadata/AppxBundleManifest.xml";
constexpr std::uint32_t kEndOfCentralDirectory = 0x06054b50;
constexpr std::uint32_t kZip64Locator = 0x07064b50;
constexpr std::uint32_t kCentralHeader = 0x02014b50;
constexpr std::uint32_t kLocalHeader = 0x04034b50;

[[noreturn]] void Fail(const std::string& text) { throw std::runtime_error(text); }

std::uint64_t Little(const std::string& bytes, std::size_t at, std::size_t width) {
    if (at + width > bytes.size()) {
        Fail("a ZIP record runs past the end of the file");
    }
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

std::string ReadAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof()) {
        Fail("cannot read " + file.string());
    }
    return bytes;
}

// Where the central directory starts: the end record's, or the ZIP64 end
// record's when a locator precedes the end record.
std::uint64_t CentralDirectoryOffset(const std::string& bytes) {
    const std::string signature("PK\x05\x06", 4);
    const auto end = bytes.rfind(signature);
    if (end == std::string::npos || Little(bytes, end, 4) != kEndOfCentralDirectory) {
        Fail("no end of central directory record");
    }
    if (end >= 20 && Little(bytes, end - 20, 4) == kZip64Locator) {
        return Little(bytes, Little(bytes, end - 20 + 8, 8) + 48, 8);
    }
    return Little(bytes, end + 16, 4);
}

}  // namespace

std::vector<StoredRange> StoredRanges(const std::filesystem::path& zipFile, const std::vector<std::string>& names) {
    const std::string bytes = ReadAll(zipFile);
    std::map<std::string, StoredRange> found;
    for (std::uint64_t at = CentralDirectoryOffset(bytes); Little(bytes, at, 4) == kCentralHeader;) {
        std::uint64_t compressed = Little(bytes, at + 20, 4);
        std::uint64_t uncompressed = Little(bytes, at + 24, 4);
        const std::uint64_t nameLength = Little(bytes, at + 28, 2);
        const std::uint64_t extraLength = Little(bytes, at + 30, 2);
        const std::uint64_t commentLength = Little(bytes, at + 32, 2);
        std::uint64_t local = Little(bytes, at + 42, 4);
        // The ZIP64 extra field holds, in this order, each value whose 32-bit
        // field is all ones.
        for (std::uint64_t extra = at + 46 + nameLength; extra + 4 <= at + 46 + nameLength + extraLength;) {
            const std::uint64_t id = Little(bytes, extra, 2);
            const std::uint64_t size = Little(bytes, extra + 2, 2);
            if (id == 1) {
                std::uint64_t field = extra + 4;
                for (std::uint64_t* value : {&uncompressed, &compressed, &local}) {
                    if (*value == 0xFFFFFFFF) {
                        *value = Little(bytes, field, 8);
                        field += 8;
                    }
                }
            }
            extra += 4 + size;
        }
        if (Little(bytes, local, 4) != kLocalHeader) {
            Fail("a central directory entry points at no local header");
        }
        const std::uint64_t data = local + 30 + Little(bytes, local + 26, 2) + Little(bytes, local + 28, 2);
        found[bytes.substr(at + 46, nameLength)] = StoredRange{data, compressed};
        at += 46 + nameLength + extraLength + commentLength;
    }
    std::vector<StoredRange> ranges;
    for (const std::string& name : names) {
        const auto range = found.find(name);
        if (range == found.end()) {
            Fail(zipFile.string() + " has no entry " + name);
        }
        ranges.push_back(range->second);
    }
    return ranges;
}

std::string BundleManifestXml(const Identity& identity, const std::vector<BundledPackageFile>& packages,
                              const std::vector<StoredRange>& ranges) {
    pugi::xml_document document;
    auto bundle = AppendRoot(document, "Bundle", "http://schemas.microsoft.com/appx/2013/bundle");
    bundle.append_attribute("SchemaVersion") = "5.0";
    auto identityElement = bundle.append_child("Identity");
    identityElement.append_attribute("Name") = identity.name.c_str();
    identityElement.append_attribute("Publisher") = identity.publisher.c_str();
    identityElement.append_attribute("Version") = identity.version.c_str();
    auto list = bundle.append_child("Packages");
    for (std::size_t i = 0; i < packages.size(); ++i) {
        const BundledPackageFile& package = packages[i];
        auto element = list.append_child("Package");
        element.append_attribute("Type") = package.application ? "application" : "resource";
        element.append_attribute("Version") = package.identity.version.c_str();
        element.append_attribute("Architecture") = package.identity.architecture.c_str();
        if (!package.identity.resourceId.empty()) {
            element.append_attribute("ResourceId") = package.identity.resourceId.c_str();
        }
        element.append_attribute("FileName") = package.file.filename().string().c_str();
        element.append_attribute("Offset") = std::to_string(i < ranges.size() ? ranges[i].offset : 0).c_str();
        element.append_attribute("Size") = std::to_string(i < ranges.size() ? ranges[i].size : 0).c_str();
        if (!package.languages.empty()) {
            auto resources = element.append_child("Resources");
            for (const std::string& language : package.languages) {
                resources.append_child("Resource").append_attribute("Language") = language.c_str();
            }
        }
    }
    return ToXml(document);
}

void WriteBundle(const std::filesystem::path& bundleFile, const Identity& identity,
                 const std::vector<BundledPackageFile>& packages, const PackageOptions& options) {
    if (options.signer) {
        CheckSigner(*options.signer);
    }
    std::vector<std::string> names;
    for (const BundledPackageFile& package : packages) {
        names.push_back(EncodePartName(package.file.filename().string()));
    }
    // The packages come first, so their offsets do not depend on the manifest
    // that gives them: a first writing finds them, the second records them.
    std::vector<StoredRange> ranges;
    for (int pass = 0; pass < 2; ++pass) {
        // The first writing only measures, so it needs no signature.
        PackageBuilder bundle(bundleFile, pass == 0 ? PackageOptions{options.hashMethod, std::nullopt} : options);
        for (const BundledPackageFile& package : packages) {
            const std::string name = package.file.filename().string();
            const BlockHashes hashes =
                bundle.AddEntry(EncodePartName(name), Content{package.file}, S_IFREG | 0644, /*stored=*/true);
            bundle.ListInBlockMap(name, EncodePartName(name).size(), hashes, hashes.size);
        }
        const std::string manifest = BundleManifestXml(identity, packages, ranges);
        const BlockHashes hashes = bundle.AddEntry(kBundleManifestName, manifest, S_IFREG | 0644);
        bundle.ListInBlockMap(kBundleManifestName, std::string(kBundleManifestName).size(), hashes, hashes.size);

        pugi::xml_document types;
        auto root = AppendRoot(types, "Types", "http://schemas.openxmlformats.org/package/2006/content-types");
        for (const auto& [extension, type] :
             {std::pair{"appx", "application/vnd.ms-appx"}, std::pair{"msix", "application/msix"}}) {
            auto element = root.append_child("Default");
            element.append_attribute("Extension") = extension;
            element.append_attribute("ContentType") = type;
        }
        for (const auto& [part, type] :
             {std::pair{"/AppxBlockMap.xml", "application/vnd.ms-appx.blockmap+xml"},
              std::pair{"/AppxMetadata/AppxBundleManifest.xml", "application/vnd.ms-appx.bundlemanifest+xml"}}) {
            auto element = root.append_child("Override");
            element.append_attribute("PartName") = part;
            element.append_attribute("ContentType") = type;
        }
        if (options.signer) {
            AppendOverride(root, kSignatureName, kSignatureContentType);
        }
        bundle.AddEntry("[Content_Types].xml", ToXml(types), S_IFREG | 0644);
        bundle.AddEntry("AppxBlockMap.xml", bundle.BlockMapXml(), S_IFREG | 0644);
        bundle.Close();
        std::vector<StoredRange> written = StoredRanges(bundleFile, names);
        if (pass == 1 && !std::equal(written.begin(), written.end(), ranges.begin(), ranges.end(),
                                     [](const StoredRange& a, const StoredRange& b) {
                                         return a.offset == b.offset && a.size == b.size;
                                     })) {
            Fail("the packages moved between the two writings of " + bundleFile.string());
        }
        ranges = std::move(written);
    }
}

}  // namespace packaging
