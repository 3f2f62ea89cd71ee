#include "tools/packaging/BundleWriter.h"

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <pugixml.hpp>
#include <stdexcept>

#include "tools/packaging/XmlWriting.h"

namespace packaging {
namespace {

constexpr const char* kBundleManifestName = "AppxMetadata/AppxBundleManifest.xml";
constexpr std::uint64_t kLocalHeaderFixedSize = 30;
constexpr std::uint64_t kDataDescriptorSize = 24;
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

struct ZipEntry {
    std::uint16_t method = 0;
    StoredRange data;
    std::uint64_t size = 0;
};

// Every entry of a ZIP file by name, from its central directory and local headers.
std::map<std::string, ZipEntry> ZipEntries(const std::string& bytes) {
    std::map<std::string, ZipEntry> found;
    for (std::uint64_t at = CentralDirectoryOffset(bytes); Little(bytes, at, 4) == kCentralHeader;) {
        const auto method = static_cast<std::uint16_t>(Little(bytes, at + 10, 2));
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
        found[bytes.substr(at + 46, nameLength)] = ZipEntry{method, StoredRange{data, compressed}, uncompressed};
        at += 46 + nameLength + extraLength + commentLength;
    }
    return found;
}

std::string Inflate(std::string_view compressed, std::uint64_t size) {
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        Fail("cannot start inflating");
    }
    std::string out(static_cast<std::size_t>(size), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = inflate(&stream, Z_FINISH);
    const bool whole = result == Z_STREAM_END && stream.avail_out == 0;
    inflateEnd(&stream);
    if (!whole) {
        Fail("an entry does not inflate to its size");
    }
    return out;
}

std::string_view LocalName(std::string_view name) {
    const auto colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

XmlAttributes AttributesOf(const pugi::xml_node& element) {
    XmlAttributes attributes;
    for (const pugi::xml_attribute& attribute : element.attributes()) {
        const std::string_view name = attribute.name();
        if (name != "xmlns" && !name.starts_with("xmlns:")) {
            attributes.emplace_back(LocalName(name), attribute.value());
        }
    }
    return attributes;
}

// An element of the bundle manifest on a line of its own, as the packer indents it.
std::string Element(int depth, const std::string& name, const XmlAttributes& attributes, const char* end) {
    std::string line(static_cast<std::size_t>(depth), '\t');
    line += "<" + name;
    for (const auto& [attribute, value] : attributes) {
        line += " " + attribute + "=\"" + EscapeXml(value) + "\"";
    }
    return line + end + "\r\n";
}

}  // namespace

std::vector<StoredRange> StoredRanges(const std::filesystem::path& zipFile, const std::vector<std::string>& names) {
    const std::map<std::string, ZipEntry> found = ZipEntries(ReadAll(zipFile));
    std::vector<StoredRange> ranges;
    for (const std::string& name : names) {
        const auto entry = found.find(name);
        if (entry == found.end()) {
            Fail(zipFile.string() + " has no entry " + name);
        }
        ranges.push_back(entry->second.data);
    }
    return ranges;
}

std::string ReadZipEntry(const std::filesystem::path& zipFile, const std::string& name) {
    const std::string bytes = ReadAll(zipFile);
    const std::map<std::string, ZipEntry> found = ZipEntries(bytes);
    const auto entry = found.find(name);
    if (entry == found.end()) {
        Fail(zipFile.string() + " has no entry " + name);
    }
    const ZipEntry& zip = entry->second;
    if (zip.data.offset + zip.data.size > bytes.size()) {
        Fail("an entry of " + zipFile.string() + " runs past the end of the file");
    }
    const std::string_view data(bytes.data() + zip.data.offset, static_cast<std::size_t>(zip.data.size));
    if (zip.method == 0) {
        return std::string(data);
    }
    if (zip.method != 8) {
        Fail(name + " in " + zipFile.string() + " is compressed with a method other than deflate");
    }
    return Inflate(data, zip.size);
}

PackageApplicability ApplicabilityOf(std::string_view manifestXml) {
    pugi::xml_document document;
    if (!document.load_buffer(manifestXml.data(), manifestXml.size())) {
        Fail("a bundled package's manifest is not well-formed XML");
    }
    const auto named = [](const char* name) {
        return [name](const pugi::xml_node& node) { return LocalName(node.name()) == name; };
    };
    PackageApplicability applicability;
    const pugi::xml_node package = document.document_element();
    for (const pugi::xml_node& resource : package.find_child(named("Resources")).children()) {
        if (LocalName(resource.name()) == "Resource") {
            applicability.resources.push_back(AttributesOf(resource));
        }
    }
    for (const pugi::xml_node& dependency : package.find_child(named("Dependencies")).children()) {
        if (LocalName(dependency.name()) == "TargetDeviceFamily") {
            applicability.targetDeviceFamilies.push_back(AttributesOf(dependency));
        }
    }
    return applicability;
}

std::string BundleManifestXml(const Identity& identity, const std::vector<BundledPackageFile>& packages,
                              const std::vector<StoredRange>& ranges,
                              const std::vector<PackageApplicability>& applicability, bool flat) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n";
    xml += Element(0, "Bundle",
                   {{"xmlns", flat ? "http://schemas.microsoft.com/appx/2016/bundle"
                                   : "http://schemas.microsoft.com/appx/2013/bundle"},
                    {"SchemaVersion", "5.0"},
                    {"xmlns:b4", "http://schemas.microsoft.com/appx/2018/bundle"},
                    {"xmlns:b5", "http://schemas.microsoft.com/appx/2019/bundle"},
                    {"IgnorableNamespaces", "b4 b5"}},
                   ">");
    xml += Element(1, "Identity",
                   {{"Name", identity.name}, {"Publisher", identity.publisher}, {"Version", identity.version}}, "/>");
    xml += "\t<Packages>\r\n";
    for (std::size_t i = 0; i < packages.size(); ++i) {
        const BundledPackageFile& package = packages[i];
        XmlAttributes attributes{{"Type", package.application ? "application" : "resource"},
                                 {"Version", package.identity.version},
                                 {"Architecture", package.identity.architecture}};
        if (!package.identity.resourceId.empty()) {
            attributes.emplace_back("ResourceId", package.identity.resourceId);
        }
        attributes.emplace_back("FileName", package.file.filename().string());
        if (!flat) {
            attributes.emplace_back("Offset", std::to_string(i < ranges.size() ? ranges[i].offset : 0));
            attributes.emplace_back("Size", std::to_string(i < ranges.size() ? ranges[i].size : 0));
        }
        PackageApplicability applies = i < applicability.size() ? applicability[i] : PackageApplicability{};
        if (!package.languages.empty()) {
            applies.resources.clear();
            for (const std::string& language : package.languages) {
                applies.resources.push_back({{"Language", language}});
            }
        }
        if (applies.resources.empty() && applies.targetDeviceFamilies.empty()) {
            xml += Element(2, "Package", attributes, "/>");
            continue;
        }
        xml += Element(2, "Package", attributes, ">");
        if (!applies.resources.empty()) {
            xml += "\t\t\t<Resources>\r\n";
            for (const XmlAttributes& resource : applies.resources) {
                xml += Element(4, "Resource", resource, "/>");
            }
            xml += "\t\t\t</Resources>\r\n";
        }
        if (!applies.targetDeviceFamilies.empty()) {
            xml += "\t\t\t<b4:Dependencies>\r\n";
            for (const XmlAttributes& family : applies.targetDeviceFamilies) {
                xml += Element(4, "b4:TargetDeviceFamily", family, "/>");
            }
            xml += "\t\t\t</b4:Dependencies>\r\n";
        }
        xml += "\t\t</Package>\r\n";
    }
    return xml + "\t</Packages>\r\n</Bundle>";
}

namespace {

// The bundle manifest and what follows it, the entries of a bundle after its packages.
void FinishBundle(PackageBuilder& bundle, const std::string& manifest) {
    const BlockHashes hashes = bundle.AddEntry(kBundleManifestName, manifest, S_IFREG | 0644);
    bundle.AddPartName(kBundleManifestName);
    // The bundle's block map lists its manifest alone; each package has a block map of its own.
    bundle.ListInBlockMap(kBundleManifestName, std::string(kBundleManifestName).size(), hashes, hashes.size);
    bundle.AddBlockMap();
    bundle.AddContentTypes();
    bundle.Close();
}

}  // namespace

void WriteFlatBundle(const std::filesystem::path& bundleFile, const Identity& identity,
                     const std::vector<BundledPackageFile>& packages, const PackageOptions& options) {
    std::vector<PackageApplicability> applicability;
    for (const BundledPackageFile& package : packages) {
        applicability.push_back(ApplicabilityOf(ReadZipEntry(package.file, "AppxManifest.xml")));
    }
    PackageBuilder bundle(bundleFile, options);
    FinishBundle(bundle, BundleManifestXml(identity, packages, {}, applicability, true));
}

void WriteBundle(const std::filesystem::path& bundleFile, const Identity& identity,
                 const std::vector<BundledPackageFile>& packages, const PackageOptions& options) {
    // Everything that can fail on the inputs fails before the file is replaced.
    std::vector<PackageApplicability> applicability;
    std::vector<StoredRange> ranges;
    std::uint64_t offset = 0;
    for (const BundledPackageFile& package : packages) {
        applicability.push_back(ApplicabilityOf(ReadZipEntry(package.file, "AppxManifest.xml")));
        // The packages come first, each a local header without an extra
        // field, its data and a data descriptor: where each one's data lies
        // is known before any is written.
        const std::uint64_t size = std::filesystem::file_size(package.file);
        const std::uint64_t data =
            offset + kLocalHeaderFixedSize + EncodePartName(package.file.filename().string()).size();
        ranges.push_back({data, size});
        offset = data + size + kDataDescriptorSize;
    }
    PackageBuilder bundle(bundleFile, options);
    for (const BundledPackageFile& package : packages) {
        const std::string name = package.file.filename().string();
        bundle.AddEntry(EncodePartName(name), Content{package.file}, S_IFREG | 0644, Compression::Stored);
        bundle.AddPartName(name, "application/vnd.ms-appx");
    }
    FinishBundle(bundle, BundleManifestXml(identity, packages, ranges, applicability));
}

}  // namespace packaging
