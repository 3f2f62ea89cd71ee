#include "tools/packaging/PackageWriter.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <map>
#include <stdexcept>

#include <pugixml.hpp>

#include "tools/packaging/XmlWriting.h"
#include "tools/packaging/ZipWriter.h"

namespace packaging {

namespace {

constexpr std::size_t kBlockSize = kZipBlockSize;
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

const EVP_MD* Algorithm(HashMethod method) {
    switch (method) {
        case HashMethod::Sha384:
            return EVP_sha384();
        case HashMethod::Sha512:
            return EVP_sha512();
        case HashMethod::Sha256:
            break;
    }
    return EVP_sha256();
}

const char* MethodUri(HashMethod method) {
    switch (method) {
        case HashMethod::Sha384:
            return "http://www.w3.org/2001/04/xmldsig-more#sha384";
        case HashMethod::Sha512:
            return "http://www.w3.org/2001/04/xmlenc#sha512";
        case HashMethod::Sha256:
            break;
    }
    return "http://www.w3.org/2001/04/xmlenc#sha256";
}

class Digester {
public:
    explicit Digester(HashMethod method) : m_method(method), m_context(EVP_MD_CTX_new()) { Start(); }

    void Update(std::string_view data) {
        if (EVP_DigestUpdate(m_context.get(), data.data(), data.size()) != 1) {
            Fail("hashing failed");
        }
    }
    // Base64 of the digest; starts over.
    std::string Finish() {
        std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(m_context.get(), digest.data(), &length) != 1) {
            Fail("hashing failed");
        }
        Start();
        return Base64(digest.data(), length);
    }

private:
    void Start() {
        if (!m_context || EVP_DigestInit_ex(m_context.get(), Algorithm(m_method), nullptr) != 1) {
            Fail("hashing failed");
        }
    }
    HashMethod m_method;
    std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> m_context;
};

// Collects the hashes of content block by block.
class BlockHasher {
public:
    explicit BlockHasher(HashMethod method) : m_block(method), m_file(method) {}

    void Add(std::string_view block) {
        m_hashes.size += block.size();
        m_block.Update(block);
        m_hashes.blocks.push_back(m_block.Finish());
        m_file.Update(block);
    }
    BlockHashes Finish() {
        m_hashes.file = m_file.Finish();
        return std::move(m_hashes);
    }
    BlockHashes& Hashes() { return m_hashes; }

private:
    Digester m_block;
    Digester m_file;
    BlockHashes m_hashes;
};

// Reads content in blocks, from memory or from its file.
ZipWriter::Reader ReaderOf(const Content& content, std::unique_ptr<std::ifstream>& file) {
    if (const auto* bytes = std::get_if<std::string>(&content)) {
        return [bytes, at = std::size_t{0}](char* buffer, std::size_t size) mutable {
            const std::size_t count = std::min(size, bytes->size() - at);
            std::copy_n(bytes->data() + at, count, buffer);
            at += count;
            return count;
        };
    }
    const auto& path = std::get<std::filesystem::path>(content);
    file = std::make_unique<std::ifstream>(path, std::ios::binary);
    if (!*file) {
        Fail("cannot read " + path.string());
    }
    return [&stream = *file, path](char* buffer, std::size_t size) {
        stream.read(buffer, static_cast<std::streamsize>(size));
        if (stream.bad()) {
            Fail("cannot read " + path.string());
        }
        return static_cast<std::size_t>(stream.gcount());
    };
}

}  // namespace

BlockHashes HashBlocks(const Content& content, HashMethod method) {
    std::unique_ptr<std::ifstream> file;
    const ZipWriter::Reader read = ReaderOf(content, file);
    BlockHasher hasher(method);
    std::string block(kBlockSize, '\0');
    for (std::size_t got = read(block.data(), block.size()); got > 0; got = read(block.data(), block.size())) {
        hasher.Add(std::string_view(block.data(), got));
    }
    return hasher.Finish();
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

struct PackageBuilder::BlockMap {
    pugi::xml_document document;
    pugi::xml_node root;
};

PackageBuilder::PackageBuilder(const std::filesystem::path& packageFile, HashMethod method)
    : m_method(method), m_zip(std::make_unique<ZipWriter>(packageFile)), m_blockMap(std::make_unique<BlockMap>()) {
    m_blockMap->root = AppendRoot(m_blockMap->document, "BlockMap", "http://schemas.microsoft.com/appx/2010/blockmap");
    m_blockMap->root.append_attribute("xmlns:b4") = "http://schemas.microsoft.com/appx/2021/blockmap";
    m_blockMap->root.append_attribute("IgnorableNamespaces") = "b4";
    m_blockMap->root.append_attribute("HashMethod") = MethodUri(method);
}

PackageBuilder::~PackageBuilder() = default;

void PackageBuilder::AddPayload(const PayloadFile& file) {
    const std::string entryName = EncodePartName(file.name);
    const BlockHashes hashes = AddEntry(entryName, file.content, S_IFREG | (file.executable ? 0755 : 0644), file.stored);
    AddPartName(file.name);
    ListInBlockMap(file.name, entryName.size(), hashes, hashes.size);
}

BlockHashes PackageBuilder::AddEntry(const std::string& rawName, const Content& content, std::uint32_t mode,
                                     bool stored) {
    std::unique_ptr<std::ifstream> file;
    BlockHasher hasher(m_method);
    m_zip->Add(rawName, mode, !stored, ReaderOf(content, file), [&](std::string_view block, std::uint64_t compressed) {
        hasher.Add(block);
        if (!stored) {
            hasher.Hashes().compressedSizes.push_back(compressed);
        }
    });
    return hasher.Finish();
}

void PackageBuilder::AddPartName(const std::string& name) { m_partNames.push_back(name); }

void PackageBuilder::ListInBlockMap(const std::string& name, std::size_t entryNameLength, const BlockHashes& hashes,
                                    std::uint64_t size) {
    std::string blockMapName = name;
    std::replace(blockMapName.begin(), blockMapName.end(), '/', '\\');
    auto file = m_blockMap->root.append_child("File");
    file.append_attribute("Name") = blockMapName.c_str();
    file.append_attribute("Size") = std::to_string(size).c_str();
    file.append_attribute("LfhSize") = std::to_string(kLocalHeaderFixedSize + entryNameLength).c_str();
    for (std::size_t block = 0; block < hashes.blocks.size(); ++block) {
        auto element = file.append_child("Block");
        element.append_attribute("Hash") = hashes.blocks[block].c_str();
        if (block < hashes.compressedSizes.size()) {
            element.append_attribute("Size") = std::to_string(hashes.compressedSizes[block]).c_str();
        }
    }
    // A file of one block has its hash already.
    if (hashes.blocks.size() > 1 && !hashes.file.empty()) {
        file.append_child("b4:FileHash").append_attribute("Hash") = hashes.file.c_str();
    }
}

std::string PackageBuilder::BlockMapXml() const { return ToXml(m_blockMap->document); }

std::string PackageBuilder::ContentTypesXml() const {
    pugi::xml_document document;
    auto types = AppendRoot(document, "Types", "http://schemas.openxmlformats.org/package/2006/content-types");
    std::map<std::string, std::string> defaults;
    for (const std::string& name : m_partNames) {
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

void PackageBuilder::Close() { m_zip->Close(); }

void PackageBuilder::DeflateBlocksTogether() { m_zip->DeflateBlocksTogether(); }

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
                  const std::vector<PayloadFile>& payload, const PackageOptions& options) {
    PackageBuilder package(packageFile, options.hashMethod);
    package.AddPayload(PayloadFile{kManifestName, ManifestXml(identity), false});
    for (const PayloadFile& file : payload) {
        package.AddPayload(file);
    }
    package.AddEntry(kContentTypesName, package.ContentTypesXml(), S_IFREG | 0644);
    package.AddEntry(kBlockMapName, package.BlockMapXml(), S_IFREG | 0644);
    package.Close();
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
