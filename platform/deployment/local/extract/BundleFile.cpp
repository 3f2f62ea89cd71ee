#include "platform/deployment/local/extract/BundleFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileDescriptor.h"
#include "platform/deployment/local/FileError.h"
#include "platform/deployment/local/extract/ExtractionFolder.h"
#include "platform/deployment/local/format/Hash.h"
#include "platform/deployment/local/format/SignedZip.h"

namespace platform::deployment::local {
namespace {

constexpr std::uint64_t kBundleManifestLimit = 8 * 1024 * 1024;

}  // namespace

// What the bundle's block map says of each entry, by name.
struct BundleFile::Checked {
    BlockMapDocument blockMap;
    std::unordered_map<std::string, const BlockMapFile*> byName;
};

BundleFile::BundleFile(std::filesystem::path file, std::wstring displayName, SignatureCheck signature)
    : m_file(std::move(file)),
      m_displayName(displayName.empty() ? PathText(m_file) : std::move(displayName)),
      m_signature(std::move(signature)),
      m_checked(std::make_unique<Checked>()) {
    const PackageArchive archive(m_file, m_displayName);
    m_manifestXml = archive.ReadWhole(archive.Required(kBundleManifestName), kBundleManifestLimit, kInvalidManifest);
    try {
        m_manifest = ReadBundleManifest(m_manifestXml);
    } catch (const PlatformError& error) {
        archive.FailWith(error);
    }
    // The packer's block map lists the bundle manifest alone: the packages
    // have block maps and signatures of their own, and the bundle's signature
    // covers their bytes.
    std::unordered_set<std::string_view> stored;
    for (const BundledPackage& package : m_manifest.packages) {
        if (package.stored) {
            stored.insert(package.fileName);
        }
    }
    m_checked->blockMap =
        ReadMatchedBlockMap(archive, [&](std::string_view name) { return stored.contains(name); });
    for (const BlockMapFile& listed : m_checked->blockMap.files) {
        m_checked->byName.emplace(listed.name, &listed);
    }
    std::vector<std::uint64_t> dataStart(archive.Entries().size());
    try {
        CheckLocalRecords(PackageBytes(m_file, std::nullopt),
                          [&](std::uint64_t index, std::uint64_t headerOffset, std::uint64_t headerSize) {
                              if (index < dataStart.size()) {
                                  dataStart[index] = headerOffset + headerSize;
                              }
                          });
    } catch (const PlatformError& error) {
        archive.FailWith(error);
    }
    for (const BundledPackage& package : m_manifest.packages) {
        if (!package.stored) {
            continue;
        }
        const std::wstring quoted = PackageArchive::Quoted(package.fileName);
        const auto entry = std::find_if(archive.Entries().begin(), archive.Entries().end(),
                                        [&](const ArchiveEntry& e) { return !e.directory && e.name == package.fileName; });
        if (entry == archive.Entries().end() || entry->size != package.size) {
            archive.Fail(kInvalidManifest, L"lists a package " + quoted + L" of " + std::to_wstring(package.size) +
                                               L" bytes that is not an entry of that size in the bundle");
        }
        if (entry->deflated) {
            archive.Fail(kCorruptPackage, L"has a package " + quoted + L" that is compressed, so not readable in place");
        }
        // Read there, the platform finds no package, so no footprint file.
        if (dataStart[entry->index] != package.offset) {
            archive.Fail(kMissingFootprintFile, L"lists a package " + quoted + L" at offset " +
                                                    std::to_wstring(package.offset) + L", but that entry's data starts at " +
                                                    std::to_wstring(dataStart[entry->index]));
        }
    }
    // The bundle is all here: its bytes before the signature are checked at once.
    if (const auto prefix = VerifySignature(archive, m_file, std::nullopt, SignedSubject::Bundle,
                                            m_checked->blockMap.method, m_manifest.identity.publisher, m_signature)) {
        CheckSignedPrefix(archive, m_file, std::nullopt, *prefix, m_checked->blockMap.method);
        m_signer = prefix->signer;
    }
}

BundleFile::~BundleFile() = default;

void BundleFile::WriteFolder(const std::filesystem::path& destination) const {
    ExtractionFolder folder(destination);
    FileDescriptor file = folder.CreateFile(kBundleManifestName, false);
    folder.Write(file, kBundleManifestName, m_manifestXml.data(), m_manifestXml.size());
    folder.Finish(file, kBundleManifestName);
    folder.Flush();
}

void BundleFile::VerifyStored(const BundledPackage& package) const {
    const std::wstring name = L"The bundle \"" + m_displayName + L"\" has a package " +
                              PackageArchive::Quoted(package.fileName);
    // Another packer's block map may list it too: then it holds what that says.
    const auto listed = m_checked->byName.find(package.fileName);
    if (listed == m_checked->byName.end()) {
        return;
    }
    const FileDescriptor file(::open(m_file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) {
        ThrowFileError(errno, L"Cannot open the bundle " + PathText(m_file));
    }
    const HashMethod method = m_checked->blockMap.method;
    const BlockMapFile& expected = *listed->second;
    std::vector<char> buffer(kBlockSize);
    Hasher block(method);
    Hasher whole(method);
    const std::uint64_t blocks = expected.blockHashes.size() / DigestSize(method);
    std::uint64_t done = 0;
    for (std::uint64_t index = 0; index < blocks; ++index) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, package.size - done));
        std::size_t filled = 0;
        while (filled < want) {
            const ssize_t read = ::pread(file.Get(), buffer.data() + filled, want - filled,
                                         static_cast<off_t>(package.offset + done + filled));
            if (read < 0 && errno == EINTR) {
                continue;
            }
            if (read < 0) {
                ThrowFileError(errno, L"Cannot read the bundle " + PathText(m_file));
            }
            if (read == 0) {
                Throw(kCorruptPackage, name + L" whose range ends beyond the bundle's end.");
            }
            filled += static_cast<std::size_t>(read);
        }
        block.Update(buffer.data(), want);
        whole.Update(buffer.data(), want);
        if (!std::ranges::equal(block.Finish().Bytes(), expected.BlockHash(index, method))) {
            Throw(kBlockHashMismatch, name + L" whose stored data at offset " + std::to_wstring(package.offset) +
                                          L" does not match the hash of its block " + std::to_wstring(index + 1) +
                                          L" in the bundle's block map.");
        }
        done += want;
    }
    if (expected.fileHash && !(whole.Finish() == *expected.fileHash)) {
        Throw(kBlockHashMismatch, name + L" whose stored data does not match its FileHash in the bundle's block map.");
    }
}

PackageIdentity BundleFile::Extract(const BundledPackage& package, const std::filesystem::path& destination,
                                    ExtractOptions options) const {
    VerifyStored(package);
    options.range = FileRange{package.offset, package.size};
    options.displayName = m_displayName + L"/" + FromUtf8Lossy(package.fileName);
    options.signature = m_signature;
    if (options.signature.requirement == SignatureCheck::Requirement::Required) {
        options.signature.requirement = SignatureCheck::Requirement::WhenPresent;
    }
    return ExtractPackage(m_file, destination, options);
}

}  // namespace platform::deployment::local
