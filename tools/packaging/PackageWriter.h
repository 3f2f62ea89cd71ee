// Writes package files exactly as the platform's packer writes them: a ZIP
// (see ZipWriter.h) with the payload, then AppxManifest.xml, AppxBlockMap.xml
// and [Content_Types].xml, already compressed kinds of file stored, the block
// map in the 2010 namespace with each deflated block's compressed size. Only
// the entries' time stamp is not the packer's (a fixed one, for reproducible
// packages), and a file's Unix mode is kept when it has an execute bit.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tools/packaging/ZipWriter.h"

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
    // Stored even where the packer would deflate it; the packer stores
    // already compressed kinds of file (.png, .zip, ...) on its own.
    bool stored = false;
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
    // A b4:FileHash (the 2021 block map namespace) for every file of more
    // than one block, which the store checks; the packer writes none.
    bool fileHashes = false;
};

// The signature's part, the last entry of a signed package, and its content type.
constexpr const char* kSignatureName = "AppxSignature.p7x";
constexpr const char* kSignatureContentType = "application/vnd.ms-appx.signature";

// The manifest written for an identity: the least that the packer takes.
std::string ManifestXml(const Identity& identity);
// The identity a manifest declares; raises std::runtime_error when it declares
// none or it is not XML.
Identity IdentityOfManifest(std::string_view manifestXml);

// Writes a package to `packageFile` (replacing it), with the manifest for the
// identity. Payload names are percent-encoded in the ZIP as part names are;
// raises std::runtime_error on failure.
void WritePackage(const std::filesystem::path& packageFile, const Identity& identity,
                  const std::vector<PayloadFile>& payload, const PackageOptions& options = {});
// The same with the publisher's own manifest, written as it is.
void WritePackageWithManifest(const std::filesystem::path& packageFile, const Content& manifest,
                              const std::vector<PayloadFile>& payload, const PackageOptions& options = {});

// A folder to pack, read as the packer reads one.
struct SourceFolder {
    std::optional<std::filesystem::path> manifest;  // its AppxManifest.xml
    // Every other regular file under it, named by its relative path, in
    // byte order of the names, read from disk.
    std::vector<PayloadFile> payload;
    // What the packer leaves out too, each with why: the files that the
    // package writer makes itself and hidden (dot) files and folders.
    std::vector<std::string> skipped;
};
SourceFolder ReadSourceFolder(const std::filesystem::path& sourceDir);
// The payload of a folder without a manifest of its own (raises
// std::runtime_error when it has one).
std::vector<PayloadFile> PayloadFromDirectory(const std::filesystem::path& sourceDir);

// How the packer writes a payload file: stored when it asks to be or its
// extension is of an already compressed kind, otherwise deflated in blocks.
Compression CompressionOf(const PayloadFile& file);

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
    BlockHashes AddEntry(const std::string& rawName, const Content& content, std::uint32_t mode,
                         Compression compression = Compression::Blocks);
    // A part that [Content_Types].xml gives a type, in the order added: its
    // extension's default type unless `contentType` or the part's own
    // (AppxManifest.xml's, a bundle manifest's) says otherwise.
    void AddPartName(const std::string& name, const std::string& contentType = {});
    // A file record in the block map (its local header size from the entry
    // name's length):
    void ListInBlockMap(const std::string& name, std::size_t entryNameLength, const BlockHashes& hashes,
                        std::uint64_t size);

    // Deflates the entries added from now on as an older packer does: each
    // as one stream whose blocks cannot be inflated apart.
    void DeflateBlocksTogether();
    // Leaves a signed package's disk numbers 0xFFFF beside its ZIP64 end
    // record, as the packer writes them and some signers keep them.
    void KeepDiskNumbersEscaped();

    std::string BlockMapXml() const;
    std::string ContentTypesXml() const;
    // The block map and the content types as entries, the last ones before a signature.
    void AddBlockMap();
    void AddContentTypes();
    // Writes the archive with the entries added so far.
    void Close();

private:
    struct Signing;
    // A Default (for an extension) or an Override (for a part name) of [Content_Types].xml.
    struct ContentType {
        bool isDefault;
        std::string key;
        std::string type;
    };

    HashMethod m_method;
    bool m_fileHashes;
    std::unique_ptr<Signing> m_signing;
    std::unique_ptr<ZipWriter> m_zip;
    std::string m_blockMapFiles;  // the File elements, as written
    std::vector<ContentType> m_contentTypes;
};

}  // namespace packaging
