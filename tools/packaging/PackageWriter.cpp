#include "tools/packaging/PackageWriter.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <pugixml.hpp>
#include <stdexcept>

#include "tools/packaging/PartKinds.h"
#include "tools/packaging/Signing.h"
#include "tools/packaging/XmlWriting.h"

namespace packaging {

namespace {

constexpr std::size_t kBlockSize = kZipBlockSize;
constexpr std::size_t kLocalHeaderFixedSize = 30;
constexpr const char* kManifestName = "AppxManifest.xml";
constexpr const char* kBlockMapName = "AppxBlockMap.xml";
constexpr const char* kContentTypesName = "[Content_Types].xml";
constexpr const char* kCodeIntegrityName = "AppxMetadata/CodeIntegrity.cat";
constexpr const char* kBundleManifestName = "AppxMetadata/AppxBundleManifest.xml";
constexpr const char* kOctetStream = "application/octet-stream";
constexpr std::uint32_t kRegularFile = S_IFREG | 0644;

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

// The types of the parts the packer names itself.
const char* OwnContentType(std::string_view name) {
    if (name == kManifestName) {
        return "application/vnd.ms-appx.manifest+xml";
    }
    if (name == kBundleManifestName) {
        return "application/vnd.ms-appx.bundlemanifest+xml";
    }
    return nullptr;
}

// Files the packer leaves out of a source folder because it makes them (or
// a signer does), compared as the platform's file system compares names.
bool IsFootprintFile(const std::string& relativeName) {
    const std::string lower = Lower(relativeName);
    return lower == Lower(kBlockMapName) || lower == Lower(kContentTypesName) || lower == Lower(kSignatureName) ||
           lower == Lower(kCodeIntegrityName);
}

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

// Part names keep letters, digits, "-._~" and the segments' slashes, and
// percent-encode every other byte, as the packer names its entries.
std::string EncodePartName(std::string_view name) {
    static constexpr std::string_view kKept = "-._~/";
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

Compression CompressionOf(const PayloadFile& file) {
    return file.stored || StoredKind(ExtensionOf(file.name)) ? Compression::Stored : Compression::Blocks;
}

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
      m_fileHashes(options.fileHashes),
      m_signing(options.signer ? std::make_unique<Signing>(*options.signer, options.hashMethod) : nullptr),
      m_zip(std::make_unique<ZipWriter>(packageFile)) {
    if (m_signing) {
        // The store's signature reader (and osslsigncode, which writes them
        // so) takes disk numbers only as 0.
        m_zip->DiskNumbersZero();
        m_zip->Observe([this](std::string_view written) { m_signing->written.Update(written); });
    }
}

PackageBuilder::~PackageBuilder() = default;

void PackageBuilder::AddPayload(const PayloadFile& file) {
    const std::string entryName = EncodePartName(file.name);
    const BlockHashes hashes =
        AddEntry(entryName, file.content, S_IFREG | (file.executable ? 0755 : 0644), CompressionOf(file));
    AddPartName(file.name);
    // The catalog is a footprint file, covered by the signature, not the block map.
    if (file.name != kCodeIntegrityName) {
        ListInBlockMap(file.name, entryName.size(), hashes, hashes.size);
    }
}

BlockHashes PackageBuilder::AddEntry(const std::string& rawName, const Content& content, std::uint32_t mode,
                                     Compression compression) {
    std::unique_ptr<std::ifstream> file;
    BlockHasher hasher(m_method);
    m_zip->Add(rawName, mode, compression, ReaderOf(content, file),
               [&](std::string_view block, std::uint64_t compressed) {
                   hasher.Add(block);
                   if (compression == Compression::Blocks) {
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

void PackageBuilder::AddPartName(const std::string& name, const std::string& contentType) {
    const std::string partName = "/" + EncodePartName(name);
    if (name == kCodeIntegrityName) {
        m_contentTypes.push_back({false, partName, "application/vnd.ms-pkiseccat"});
        return;
    }
    const char* own = OwnContentType(name);
    const std::string type = !contentType.empty() ? contentType : own != nullptr ? own : "";
    const std::string_view extension = ExtensionOf(partName);
    if (extension.empty()) {
        m_contentTypes.push_back({false, partName, type.empty() ? kOctetStream : type});
        return;
    }
    // Extensions are told apart without regard to case; the first spelling is kept.
    const auto known = std::find_if(m_contentTypes.begin(), m_contentTypes.end(), [&](const ContentType& entry) {
        return entry.isDefault && Lower(entry.key) == Lower(extension);
    });
    if (known == m_contentTypes.end()) {
        m_contentTypes.push_back({true, std::string(extension), type.empty() ? DefaultContentType(extension) : type});
    } else if (!type.empty() && known->type != type) {
        m_contentTypes.push_back({false, partName, type});
    }
}

void PackageBuilder::ListInBlockMap(const std::string& name, std::size_t entryNameLength, const BlockHashes& hashes,
                                    std::uint64_t size) {
    std::string blockMapName = name;
    std::replace(blockMapName.begin(), blockMapName.end(), '/', '\\');
    std::string& out = m_blockMapFiles;
    out += "<File Name=\"" + EscapeXml(blockMapName) + "\" Size=\"" + std::to_string(size) + "\" LfhSize=\"" +
           std::to_string(kLocalHeaderFixedSize + entryNameLength) + "\"";
    // A file of one block has its hash already.
    const bool fileHash = m_fileHashes && hashes.blocks.size() > 1 && !hashes.file.empty();
    if (hashes.blocks.empty() && !fileHash) {
        out += "/>";
        return;
    }
    out += ">";
    for (std::size_t block = 0; block < hashes.blocks.size(); ++block) {
        out += "<Block Hash=\"" + hashes.blocks[block] + "\"";
        if (block < hashes.compressedSizes.size()) {
            out += " Size=\"" + std::to_string(hashes.compressedSizes[block]) + "\"";
        }
        out += "/>";
    }
    if (fileHash) {
        out += "<b4:FileHash Hash=\"" + hashes.file + "\"/>";
    }
    out += "</File>";
}

std::string PackageBuilder::BlockMapXml() const {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n"
        "<BlockMap xmlns=\"http://schemas.microsoft.com/appx/2010/blockmap\"";
    if (m_fileHashes) {
        xml += " xmlns:b4=\"http://schemas.microsoft.com/appx/2021/blockmap\" IgnorableNamespaces=\"b4\"";
    }
    return xml + " HashMethod=\"" + MethodUri(m_method) + "\">" + m_blockMapFiles + "</BlockMap>";
}

std::string PackageBuilder::ContentTypesXml() const {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">";
    const auto element = [&xml](bool isDefault, const std::string& key, const std::string& type) {
        xml += isDefault ? "<Default Extension=\"" : "<Override PartName=\"";
        xml += EscapeXml(key) + "\" ContentType=\"" + EscapeXml(type) + "\" />";
    };
    for (const ContentType& entry : m_contentTypes) {
        element(entry.isDefault, entry.key, entry.type);
    }
    element(false, std::string("/") + kBlockMapName, "application/vnd.ms-appx.blockmap+xml");
    if (m_signing) {
        element(false, std::string("/") + kSignatureName, kSignatureContentType);
    }
    return xml + "</Types>";
}

void PackageBuilder::AddBlockMap() { AddEntry(kBlockMapName, BlockMapXml(), kRegularFile); }

void PackageBuilder::AddContentTypes() {
    AddEntry(kContentTypesName, ContentTypesXml(), kRegularFile, Compression::Stream);
}

void PackageBuilder::Close() {
    if (m_signing) {
        SignedDigests digests;
        digests.beforeSignature = m_signing->written.Finish();
        // The end records as they would be without the signature's entry,
        // which goes where the central directory would have begun.
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
                        kRegularFile, Compression::Stream);
        m_signing.reset();
    }
    m_zip->Close();
}

void PackageBuilder::KeepDiskNumbersEscaped() { m_zip->DiskNumbersZero(false); }

void PackageBuilder::DeflateBlocksTogether() { m_zip->DeflateBlocksTogether(); }

std::string ManifestXml(const Identity& identity) {
    pugi::xml_document document;
    auto package = AppendRoot(document, "Package", "http://schemas.microsoft.com/appx/manifest/foundation/windows10");
    SetIdentityAttributes(package.append_child("Identity"), identity);
    auto properties = package.append_child("Properties");
    properties.append_child("DisplayName").text() = identity.name.c_str();
    properties.append_child("PublisherDisplayName").text() = identity.publisher.c_str();
    // The least the packer takes: it refuses a manifest without Resources.
    package.append_child("Resources").append_child("Resource").append_attribute("Language") = "en-us";
    return ToXml(document);
}

Identity IdentityOfManifest(std::string_view manifestXml) {
    pugi::xml_document document;
    if (!document.load_buffer(manifestXml.data(), manifestXml.size())) {
        Fail("the manifest is not well-formed XML");
    }
    // Whatever prefix the manifest gives its namespace.
    const auto local = [](const pugi::xml_node& node) {
        const std::string_view name = node.name();
        const auto colon = name.find(':');
        return colon == std::string_view::npos ? name : name.substr(colon + 1);
    };
    const pugi::xml_node root = document.document_element();
    pugi::xml_node element;
    if (local(root) == "Package") {
        element = root.find_child([&](const pugi::xml_node& child) { return local(child) == "Identity"; });
    }
    Identity identity{element.attribute("Name").value(), element.attribute("Publisher").value(),
                      element.attribute("Version").value(), element.attribute("ProcessorArchitecture").value(),
                      element.attribute("ResourceId").value()};
    if (identity.name.empty() || identity.publisher.empty() || identity.version.empty()) {
        Fail("the manifest declares no package identity (Package/Identity with Name, Publisher and Version)");
    }
    if (identity.architecture.empty()) {
        identity.architecture = "neutral";
    }
    return identity;
}

void WritePackageWithManifest(const std::filesystem::path& packageFile, const Content& manifest,
                              const std::vector<PayloadFile>& payload, const PackageOptions& options) {
    PackageBuilder package(packageFile, options);
    for (const PayloadFile& file : payload) {
        if (file.name == kManifestName) {
            Fail("the payload holds a second manifest");
        }
        package.AddPayload(file);
    }
    package.AddPayload(PayloadFile{kManifestName, manifest, false});
    package.AddBlockMap();
    package.AddContentTypes();
    package.Close();
}

void WritePackage(const std::filesystem::path& packageFile, const Identity& identity,
                  const std::vector<PayloadFile>& payload, const PackageOptions& options) {
    WritePackageWithManifest(packageFile, ManifestXml(identity), payload, options);
}

SourceFolder ReadSourceFolder(const std::filesystem::path& sourceDir) {
    SourceFolder folder;
    auto items = std::filesystem::recursive_directory_iterator(sourceDir);
    for (auto item = begin(items); item != end(items); ++item) {
        const auto status = item->symlink_status();
        const std::string name = item->path().lexically_relative(sourceDir).generic_string();
        // The packer skips hidden files and folders; dot names are the hidden ones here.
        if (item->path().filename().string().starts_with(".")) {
            folder.skipped.push_back("hidden " +
                                     std::string(std::filesystem::is_directory(status) ? "folder " : "file ") + name);
            if (std::filesystem::is_directory(status)) {
                item.disable_recursion_pending();
            }
            continue;
        }
        if (std::filesystem::is_directory(status)) {
            continue;
        }
        if (!std::filesystem::is_regular_file(status)) {
            Fail("not a regular file: " + item->path().string());
        }
        if (Lower(name) == Lower(kManifestName)) {
            folder.manifest = item->path();
            continue;
        }
        if (IsFootprintFile(name)) {
            folder.skipped.push_back("footprint file " + name);
            continue;
        }
        const bool executable = (status.permissions() & std::filesystem::perms::owner_exec) != std::filesystem::perms::none;
        folder.payload.push_back(PayloadFile{name, item->path(), executable});
    }
    std::sort(folder.payload.begin(), folder.payload.end(),
              [](const PayloadFile& left, const PayloadFile& right) { return left.name < right.name; });
    std::sort(folder.skipped.begin(), folder.skipped.end());
    return folder;
}

std::vector<PayloadFile> PayloadFromDirectory(const std::filesystem::path& sourceDir) {
    SourceFolder folder = ReadSourceFolder(sourceDir);
    if (folder.manifest) {
        Fail("the source folder holds a manifest of its own: " + folder.manifest->string());
    }
    return std::move(folder.payload);
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
