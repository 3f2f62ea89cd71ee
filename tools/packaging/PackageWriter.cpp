#include "tools/packaging/PackageWriter.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <pugixml.hpp>

namespace packaging {

namespace {

constexpr std::size_t kBlockSize = 65536;
constexpr std::size_t kLocalHeaderFixedSize = 30;
constexpr const char* kManifestName = "AppxManifest.xml";
constexpr const char* kBlockMapName = "AppxBlockMap.xml";
constexpr const char* kContentTypesName = "[Content_Types].xml";

[[noreturn]] void Fail(const std::string& text) { throw std::runtime_error(text); }

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};

std::string Base64(const unsigned char* data, std::size_t size) {
    std::string text(4 * ((size + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data, static_cast<int>(size));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::string HashBlock(const char* data, std::size_t size) {
    std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), data, size) != 1 ||
        EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) {
        Fail("SHA-256 failed");
    }
    return Base64(digest.data(), length);
}

// Block hashes and size of some content, read in blocks.
struct Hashed {
    std::uint64_t size = 0;
    std::vector<std::string> blockHashes;
};

Hashed HashBytes(const std::string& bytes) {
    Hashed hashed{bytes.size(), {}};
    for (std::size_t offset = 0; offset < bytes.size(); offset += kBlockSize) {
        hashed.blockHashes.push_back(HashBlock(bytes.data() + offset, std::min(kBlockSize, bytes.size() - offset)));
    }
    return hashed;
}

Hashed HashFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Fail("cannot read " + path.string());
    }
    Hashed hashed;
    std::vector<char> buffer(kBlockSize);
    for (;;) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) {
            break;
        }
        hashed.size += got;
        hashed.blockHashes.push_back(HashBlock(buffer.data(), got));
    }
    if (in.bad()) {
        Fail("cannot read " + path.string());
    }
    return hashed;
}

// Part names keep unreserved characters and a few delimiters as they are and
// percent-encode every other byte.
std::string EncodePartName(std::string_view name) {
    static constexpr std::string_view kKept = "-._~!$&'()*+,;=@/";
    std::string encoded;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            kKept.find(c) != std::string_view::npos) {
            encoded += c;
        } else {
            static constexpr char kHex[] = "0123456789ABCDEF";
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0xF];
        }
    }
    return encoded;
}

std::string ToXml(const pugi::xml_document& document) {
    std::ostringstream out;
    document.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

// Starts a UTF-8 document with a root element in `xmlNamespace`.
pugi::xml_node AppendRoot(pugi::xml_document& document, const char* name, const char* xmlNamespace) {
    auto declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "UTF-8";
    auto root = document.append_child(name);
    root.append_attribute("xmlns") = xmlNamespace;
    return root;
}

void SetIdentityAttributes(pugi::xml_node element, const Identity& identity) {
    element.append_attribute("Name") = identity.name.c_str();
    element.append_attribute("Publisher") = identity.publisher.c_str();
    element.append_attribute("Version") = identity.version.c_str();
    element.append_attribute("ProcessorArchitecture") = identity.architecture.c_str();
    if (!identity.resourceId.empty()) {
        element.append_attribute("ResourceId") = identity.resourceId.c_str();
    }
}

struct ZipDeleter {
    void operator()(zip_t* archive) const noexcept { zip_discard(archive); }
};

// A ZIP being written; buffers handed to libzip live as long as the writer.
class ZipWriter {
public:
    explicit ZipWriter(const std::filesystem::path& file) : m_file(file) {
        int error = 0;
        m_archive.reset(zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error));
        if (!m_archive) {
            Fail("cannot create " + file.string());
        }
    }

    void AddBytes(const std::string& name, std::string bytes, mode_t mode = S_IFREG | 0644) {
        const std::string& stored = m_buffers.emplace_back(std::move(bytes));
        zip_source_t* source = zip_source_buffer(m_archive.get(), stored.data(), stored.size(), 0);
        Add(name, source, mode);
    }

    void AddFile(const std::string& name, const std::filesystem::path& path, mode_t mode) {
        zip_source_t* source = zip_source_file(m_archive.get(), path.c_str(), 0, -1);
        Add(name, source, mode);
    }

    void Close() {
        if (zip_close(m_archive.get()) != 0) {
            Fail("cannot write " + m_file.string() + ": " + zip_strerror(m_archive.get()));
        }
        static_cast<void>(m_archive.release());
    }

private:
    void Add(const std::string& name, zip_source_t* source, mode_t mode) {
        if (source == nullptr) {
            Fail("cannot add " + name + ": " + zip_strerror(m_archive.get()));
        }
        const zip_int64_t index = zip_file_add(m_archive.get(), name.c_str(), source, ZIP_FL_ENC_RAW);
        if (index < 0) {
            zip_source_free(source);
            Fail("cannot add " + name + ": " + zip_strerror(m_archive.get()));
        }
        const auto entry = static_cast<zip_uint64_t>(index);
        if (zip_file_set_external_attributes(m_archive.get(), entry, 0, ZIP_OPSYS_UNIX,
                                             static_cast<zip_uint32_t>(mode) << 16) != 0 ||
            zip_set_file_compression(m_archive.get(), entry, ZIP_CM_DEFLATE, 0) != 0) {
            Fail("cannot set up " + name + ": " + zip_strerror(m_archive.get()));
        }
    }

    std::filesystem::path m_file;
    std::unique_ptr<zip_t, ZipDeleter> m_archive;
    std::list<std::string> m_buffers;
};

// Gives the second entry of a name its real name: libzip will not write two
// entries of one name, so it was written under a placeholder of equal length.
void RenameInPlace(const std::filesystem::path& file, const std::string& placeholder, const std::string& name) {
    std::string bytes;
    {
        std::ifstream in(file, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::size_t replaced = 0;
    for (auto pos = bytes.find(placeholder); pos != std::string::npos; pos = bytes.find(placeholder, pos + 1)) {
        bytes.replace(pos, placeholder.size(), name);
        ++replaced;
    }
    // Once in the local header and once in the central directory.
    if (replaced != 2) {
        Fail("cannot write a duplicate entry for " + name);
    }
    WriteFile(file, bytes);
}

std::string ContentTypesXml(const std::vector<std::string>& partNames) {
    pugi::xml_document document;
    auto types = AppendRoot(document, "Types", "http://schemas.openxmlformats.org/package/2006/content-types");
    std::map<std::string, std::string> defaults;
    for (const std::string& name : partNames) {
        const auto slash = name.rfind('/');
        const auto dot = name.rfind('.');
        if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
            auto override = types.append_child("Override");
            override.append_attribute("PartName") = ("/" + name).c_str();
            override.append_attribute("ContentType") = "application/octet-stream";
            continue;
        }
        std::string extension = name.substr(dot + 1);
        std::transform(extension.begin(), extension.end(), extension.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        defaults.emplace(extension, extension == "xml" ? "application/xml" : "application/octet-stream");
    }
    for (const auto& [extension, type] : defaults) {
        auto element = types.append_child("Default");
        element.append_attribute("Extension") = extension.c_str();
        element.append_attribute("ContentType") = type.c_str();
    }
    auto manifest = types.append_child("Override");
    manifest.append_attribute("PartName") = "/AppxManifest.xml";
    manifest.append_attribute("ContentType") = "application/vnd.ms-appx.manifest+xml";
    auto blockMap = types.append_child("Override");
    blockMap.append_attribute("PartName") = "/AppxBlockMap.xml";
    blockMap.append_attribute("ContentType") = "application/vnd.ms-appx.blockmap+xml";
    return ToXml(document);
}

class BlockMapBuilder {
public:
    BlockMapBuilder() {
        m_root = AppendRoot(m_document, "BlockMap", "http://schemas.microsoft.com/appx/2010/blockmap");
        m_root.append_attribute("HashMethod") = "http://www.w3.org/2001/04/xmlenc#sha256";
    }

    void Add(const std::string& name, std::size_t encodedNameLength, const Hashed& hashed, std::uint64_t size) {
        std::string blockMapName = name;
        std::replace(blockMapName.begin(), blockMapName.end(), '/', '\\');
        auto file = m_root.append_child("File");
        file.append_attribute("Name") = blockMapName.c_str();
        file.append_attribute("Size") = std::to_string(size).c_str();
        file.append_attribute("LfhSize") = std::to_string(kLocalHeaderFixedSize + encodedNameLength).c_str();
        for (const std::string& hash : hashed.blockHashes) {
            file.append_child("Block").append_attribute("Hash") = hash.c_str();
        }
    }

    std::string Xml() const { return ToXml(m_document); }

private:
    pugi::xml_document m_document;
    pugi::xml_node m_root;
};

}  // namespace

std::string ManifestXml(const Identity& identity) {
    pugi::xml_document document;
    auto package = AppendRoot(document, "Package", "http://schemas.microsoft.com/appx/manifest/foundation/windows10");
    SetIdentityAttributes(package.append_child("Identity"), identity);
    auto properties = package.append_child("Properties");
    properties.append_child("DisplayName").text() = identity.name.c_str();
    properties.append_child("PublisherDisplayName").text() = identity.publisher.c_str();
    return ToXml(document);
}

void WritePackage(const std::filesystem::path& packageFile, const Identity& identity,
                  const std::vector<PayloadFile>& payload, const Faults& faults) {
    std::error_code ignored;
    std::filesystem::remove(packageFile, ignored);
    ZipWriter zip(packageFile);
    BlockMapBuilder blockMap;
    std::vector<std::string> partNames;

    auto addPayload = [&](const std::string& name, const std::variant<std::string, std::filesystem::path>& content,
                          bool executable) {
        const std::string encoded = EncodePartName(name);
        const mode_t mode = S_IFREG | (executable ? 0755 : 0644);
        Hashed hashed;
        if (const auto* bytes = std::get_if<std::string>(&content)) {
            hashed = HashBytes(*bytes);
            std::string stored = *bytes;
            if (faults.corruptBlockOf == name) {
                if (stored.empty()) {
                    Fail("cannot corrupt the empty file " + name);
                }
                stored[0] = static_cast<char>(stored[0] ^ 0x01);
            }
            zip.AddBytes(encoded, std::move(stored), mode);
        } else {
            const auto& path = std::get<std::filesystem::path>(content);
            if (faults.corruptBlockOf == name) {
                Fail("only files given as bytes can be corrupted: " + name);
            }
            hashed = HashFile(path);
            zip.AddFile(encoded, path, mode);
        }
        partNames.push_back(name);
        if (faults.omitFromBlockMap != name) {
            blockMap.Add(name, encoded.size(), hashed, hashed.size + (faults.wrongSizeOf == name ? 1 : 0));
        }
        if (faults.duplicateOf == name) {
            const std::string placeholder(encoded.size(), '\x01');
            zip.AddBytes(placeholder, std::get_if<std::string>(&content) ? std::get<std::string>(content) : "",
                         mode);
        }
    };

    if (!faults.omitManifest) {
        addPayload(kManifestName, faults.manifestOverride.value_or(ManifestXml(identity)), false);
    }
    for (const PayloadFile& file : payload) {
        addPayload(file.name, file.content, file.executable);
    }
    for (const RawEntry& entry : faults.extraEntries) {
        zip.AddBytes(entry.name, entry.bytes);
    }
    if (faults.symlinkEntry) {
        zip.AddBytes(faults.symlinkEntry->name, faults.symlinkEntry->bytes, S_IFLNK | 0777);
    }
    if (faults.blockMapOnlyFile) {
        blockMap.Add(*faults.blockMapOnlyFile, faults.blockMapOnlyFile->size(), Hashed{}, 0);
    }
    zip.AddBytes(kContentTypesName, ContentTypesXml(partNames));
    if (!faults.omitBlockMap) {
        zip.AddBytes(kBlockMapName, faults.blockMapOverride.value_or(blockMap.Xml()));
    }
    zip.Close();

    if (faults.duplicateOf) {
        const std::string encoded = EncodePartName(*faults.duplicateOf);
        RenameInPlace(packageFile, std::string(encoded.size(), '\x01'), encoded);
    }
}

std::vector<PayloadFile> PayloadFromDirectory(const std::filesystem::path& sourceDir) {
    std::vector<PayloadFile> payload;
    for (const auto& item : std::filesystem::recursive_directory_iterator(sourceDir)) {
        const auto status = item.symlink_status();
        if (std::filesystem::is_directory(status)) {
            continue;
        }
        if (!std::filesystem::is_regular_file(status)) {
            Fail("not a regular file: " + item.path().string());
        }
        const std::string name = item.path().lexically_relative(sourceDir).generic_string();
        if (name == kManifestName || name == kBlockMapName || name == kContentTypesName ||
            name == "AppxSignature.p7x") {
            Fail("the source folder holds " + name + ", which the package writer makes itself");
        }
        const bool executable = (status.permissions() & std::filesystem::perms::owner_exec) != std::filesystem::perms::none;
        payload.push_back(PayloadFile{name, item.path(), executable});
    }
    std::sort(payload.begin(), payload.end(),
              [](const PayloadFile& left, const PayloadFile& right) { return left.name < right.name; });
    return payload;
}

std::string AppInstallerXml(const AppInstallerSpec& content) {
    pugi::xml_document document;
    auto root = AppendRoot(document, "AppInstaller", content.xmlNamespace.c_str());
    root.append_attribute("Uri") = content.uri.c_str();
    root.append_attribute("Version") = content.version.c_str();
    auto mainPackage = root.append_child("MainPackage");
    SetIdentityAttributes(mainPackage, content.mainPackage.identity);
    mainPackage.append_attribute("Uri") = content.mainPackage.uri.c_str();
    if (!content.dependencies.empty()) {
        auto dependencies = root.append_child("Dependencies");
        for (const AppInstallerPackage& dependency : content.dependencies) {
            auto package = dependencies.append_child("Package");
            SetIdentityAttributes(package, dependency.identity);
            package.append_attribute("Uri") = dependency.uri.c_str();
        }
    }
    return ToXml(document);
}

void WriteAppInstallerFile(const std::filesystem::path& file, const AppInstallerSpec& content) {
    WriteFile(file, AppInstallerXml(content));
}

void WriteFile(const std::filesystem::path& file, std::string_view bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    // Small outputs sit in the stream's buffer until it is flushed, so only
    // closing tells whether they reached the disk.
    out.close();
    if (!out) {
        Fail("cannot write " + file.string());
    }
}

}  // namespace packaging
