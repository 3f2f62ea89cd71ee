// Writes package files as the platform's packer lays them out: a ZIP (see
// ZipWriter.h) with the payload, AppxManifest.xml, [Content_Types].xml and
// AppxBlockMap.xml, the block map in the 2021 namespace with each block's
// compressed size and a FileHash for every file of more than one block.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace packaging {

// All texts are UTF-8.
struct Identity {
    std::string name;
    std::string publisher;
    std::string version;  // "a.b.c.d", written as given
    std::string architecture = "neutral";
    std::string resourceId;  // omitted from the manifest when empty
};

// The bytes themselves, or a file on disk that is read (twice, streaming)
// when the package is written.
using Content = std::variant<std::string, std::filesystem::path>;

struct PayloadFile {
    std::string name;  // '/' separators, relative to the package root
    Content content;
    bool executable = false;
    bool stored = false;  // as the packer keeps already compressed files
};

// The block map's HashMethod, which follows the signing digest.
enum class HashMethod { Sha256, Sha384, Sha512 };

// A code signing certificate with its private key, and any intermediate certificates, all PEM.
struct Signer {
    std::string certificatePem;
    std::string privateKeyPem;
    std::vector<std::string> chainPem;
};

struct PackageOptions {
    HashMethod hashMethod = HashMethod::Sha256;
    std::optional<Signer> signer = std::nullopt;  // unsigned without one
};

// The signature's part, the last entry of a signed package, and its content type.
constexpr const char* kSignatureName = "AppxSignature.p7x";
constexpr const char* kSignatureContentType = "application/vnd.ms-appx.signature";

// The manifest written for an identity.
std::string ManifestXml(const Identity& identity);

// Writes a package to `packageFile` (replacing it). Payload names are percent-
// encoded in the ZIP as part names are; raises std::runtime_error on failure.
void WritePackage(const std::filesystem::path& packageFile, const Identity& identity,
                  const std::vector<PayloadFile>& payload, const PackageOptions& options = {});

// Every regular file under `sourceDir`, named by its relative path, read from disk.
std::vector<PayloadFile> PayloadFromDirectory(const std::filesystem::path& sourceDir);

// Writes `bytes` to `file` (replacing it); raises std::runtime_error if any of
// it fails to reach the file, including on the final flush and close.
void WriteFile(const std::filesystem::path& file, std::string_view bytes);

// Size and base64 hash of each 64 KiB block of some content and of all of it;
// as written, also each block's compressed size (none when stored).
struct BlockHashes {
    std::uint64_t size = 0;
    std::vector<std::string> blocks;
    std::string file;
    std::vector<std::uint64_t> compressedSizes;
};
BlockHashes HashBlocks(const Content& content, HashMethod method = HashMethod::Sha256);

// A part name percent-encoded as a ZIP entry name.
std::string EncodePartName(std::string_view name);

class ZipWriter;

// A package put together step by step: WritePackage's steps, also for writers
// that put a package together differently on purpose.
class PackageBuilder {
public:
    explicit PackageBuilder(const std::filesystem::path& packageFile, HashMethod method = HashMethod::Sha256);
    // With a signer, Close adds the signature (of a bundle when a bundle
    // manifest was added), and ContentTypesXml gives its type.
    PackageBuilder(const std::filesystem::path& packageFile, const PackageOptions& options);
    ~PackageBuilder();
    PackageBuilder(const PackageBuilder&) = delete;
    PackageBuilder& operator=(const PackageBuilder&) = delete;

    // A payload file as a package holds it: an entry under its part name, a
    // content type, and its blocks in the block map (except the code integrity
    // catalog, AppxMetadata/CodeIntegrity.cat, which the signature covers).
    void AddPayload(const PayloadFile& file);

    // The steps of AddPayload. An entry under a raw name with a Unix mode,
    // written at once; the hashes of its data as written:
    BlockHashes AddEntry(const std::string& rawName, const Content& content, std::uint32_t mode, bool stored = false);
    // A part that [Content_Types].xml gives a type:
    void AddPartName(const std::string& name);
    // A file record in the block map (its local header size from the entry
    // name's length):
    void ListInBlockMap(const std::string& name, std::size_t entryNameLength, const BlockHashes& hashes,
                        std::uint64_t size);

    // Deflates the entries added from now on as an older packer does: each
    // as one stream whose blocks cannot be inflated apart.
    void DeflateBlocksTogether();

    std::string BlockMapXml() const;
    std::string ContentTypesXml() const;
    // Writes the archive with the entries added so far.
    void Close();

private:
    struct BlockMap;
    struct Signing;

    HashMethod m_method;
    std::unique_ptr<Signing> m_signing;
    std::unique_ptr<ZipWriter> m_zip;
    std::unique_ptr<BlockMap> m_blockMap;
    std::vector<std::string> m_partNames;
};

}  // namespace packaging
