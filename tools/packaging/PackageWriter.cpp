#include "tools/packaging/PackageWriter.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <map>
#include <stdexcept>

#include <pugixml.hpp>

#include "tools/packaging/Signing.h"
#include "tools/packaging/XmlWriting.h"
#include "tools/packaging/ZipWriter.h"

namespace packaging {

namespace {

constexpr std::size_t kBlockSize = kZipBlockSize;
constexpr std::size_t kLocalHeaderFixedSize = 30;
constexpr const char* kManifestName = "AppxManifest.xml";
constexpr const char* kBlockMapName = "AppxBlockMap.xml";
constexpr const char* kContentTypesName = "[Content_Types].xml";
constexpr const char* kCodeIntegrityName = "AppxMetadata/CodeIntegrity.cat";
constexpr const char* kBundleManifestName = "AppxMetadata/AppxBundleManifest.xml";

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
    // The digest; starts over.
    std::string Finish() {
        std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(m_context.get(), digest.data(), &length) != 1) {
            Fail("hashing failed");
        }
        Start();
        return std::string(reinterpret_cast<const char*>(digest.data()), length);
    }
    std::string FinishBase64() {
        const std::string digest = Finish();
        return Base64(reinterpret_cast<const unsigned char*>(digest.data()), digest.size());
    }

private:
    void Start() {
        if (!m_context || EVP_DigestInit_ex(m_context.get(), DigestAlgorithm(m_method), nullptr) != 1) {
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
        m_hashes.blocks.push_back(m_block.FinishBase64());
        m_file.Update(block);
    }
    BlockHashes Finish() {
        m_fileDigest = m_file.Finish();
        m_hashes.file = Base64(reinterpret_cast<const unsigned char*>(m_fileDigest.data()), m_fileDigest.size());
        return std::move(m_hashes);
    }
    // The whole content's digest, raw, once finished.
    const std::string& FileDigest() const { return m_fileDigest; }
    BlockHashes& Hashes() { return m_hashes; }

private:
    Digester m_block;
    Digester m_file;
    BlockHashes m_hashes;
    std::string m_fileDigest;
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

// What a signature needs that only the writing sees: the digest of every byte
// written and of the parts it names.
struct PackageBuilder::Signing {
    Signing(const Signer& s, HashMethod method) : signer(s), written(method) { CheckSigner(signer); }
    Signer signer;
    Digester written;
    std::map<std::string, std::string> partDigests;
    bool bundle = false;
};

PackageBuilder::PackageBuilder(const std::filesystem::path& packageFile, HashMethod method)
    : PackageBuilder(packageFile, PackageOptions{method, std::nullopt}) {}

// A signer that cannot sign fails before the file is replaced.
PackageBuilder::PackageBuilder(const std::filesystem::path& packageFile, const PackageOptions& options)
    : m_method(options.hashMethod),
      m_signing(options.signer ? std::make_unique<Signing>(*options.signer, options.hashMethod) : nullptr),
      m_zip(std::make_unique<ZipWriter>(packageFile)),
      m_blockMap(std::make_unique<BlockMap>()) {
    m_blockMap->root = AppendRoot(m_blockMap->document, "BlockMap", "http://schemas.microsoft.com/appx/2010/blockmap");
    m_blockMap->root.append_attribute("xmlns:b4") = "http://schemas.microsoft.com/appx/2021/blockmap";
    m_blockMap->root.append_attribute("IgnorableNamespaces") = "b4";
    m_blockMap->root.append_attribute("HashMethod") = MethodUri(options.hashMethod);
    if (m_signing) {
        // osslsigncode digests the classic end record alone when it holds every
        // value; without ZIP64 end records in the file, no reader can differ.
        m_zip->Zip64EndOnlyWhenNeeded();
        m_zip->Observe([this](std::string_view written) { m_signing->written.Update(written); });
    }
}

PackageBuilder::~PackageBuilder() = default;

void PackageBuilder::AddPayload(const PayloadFile& file) {
    const std::string entryName = EncodePartName(file.name);
    const BlockHashes hashes = AddEntry(entryName, file.content, S_IFREG | (file.executable ? 0755 : 0644), file.stored);
    AddPartName(file.name);
    // The catalog is a footprint file, covered by the signature, not the block map.
    if (file.name != kCodeIntegrityName) {
        ListInBlockMap(file.name, entryName.size(), hashes, hashes.size);
    }
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
    BlockHashes hashes = hasher.Finish();
    if (m_signing) {
        if (rawName == kContentTypesName || rawName == kBlockMapName || rawName == kCodeIntegrityName) {
            m_signing->partDigests[rawName] = hasher.FileDigest();
        }
        m_signing->bundle = m_signing->bundle || rawName == kBundleManifestName;
    }
    return hashes;
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
        if (name == kCodeIntegrityName) {
            AppendOverride(types, name, "application/vnd.ms-pkiseccat");
            continue;
        }
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
    if (m_signing) {
        AppendOverride(types, kSignatureName, kSignatureContentType);
    }
    return ToXml(document);
}

void PackageBuilder::Close() {
    if (m_signing) {
        SignedDigests digests;
        digests.beforeSignature = m_signing->written.Finish();
        Digester endRecords(m_method);
        endRecords.Update(m_zip->EndRecords());
        digests.centralDirectory = endRecords.Finish();
        const auto& parts = m_signing->partDigests;
        if (!parts.contains(kContentTypesName) || !parts.contains(kBlockMapName)) {
            Fail("a package is signed once its content types and block map are in");
        }
        digests.contentTypes = parts.at(kContentTypesName);
        digests.blockMap = parts.at(kBlockMapName);
        if (parts.contains(kCodeIntegrityName)) {
            digests.codeIntegrity = parts.at(kCodeIntegrityName);
        }
        m_zip->Observe({});
        m_zip->AddBytes(kSignatureName, SignatureFile(m_signing->signer, m_method, m_signing->bundle, digests),
                        S_IFREG | 0644);
        m_signing.reset();
    }
    m_zip->Close();
}

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
    PackageBuilder package(packageFile, options);
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
        if (name == kManifestName || name == kBlockMapName || name == kContentTypesName || name == kSignatureName) {
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
