#include "platform/deployment/local/extract/ExtractPackage.h"

#include <algorithm>
#include <limits>
#include <unordered_map>
#include <vector>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/extract/BlockPipeline.h"
#include "platform/deployment/local/extract/ExtractionFolder.h"
#include "platform/deployment/local/format/BlockMap.h"
#include "platform/deployment/local/format/ContentTypes.h"
#include "platform/deployment/local/format/Hash.h"
#include "platform/deployment/local/format/Manifest.h"
#include "platform/deployment/local/format/PackageArchive.h"
#include "platform/deployment/local/format/PartNames.h"

namespace platform::deployment::local {
namespace {

// Far above what real packages carry; they keep a hostile package from
// making us hold an unbounded document in memory. A block map is not held,
// but its hashes are: at most about half its size (some 50 GiB of payload).
constexpr std::uint64_t kManifestLimit = 8 * 1024 * 1024;
constexpr std::uint64_t kContentTypesLimit = 8 * 1024 * 1024;
constexpr std::uint64_t kBlockMapLimit = 64 * 1024 * 1024;
constexpr std::uint64_t kSignatureLimit = 64 * 1024 * 1024;

// What the platform checks of the package as a whole before it reads the
// manifest: a catalog only with a signature, and a content type for every part.
void CheckStructure(const PackageArchive& package) {
    const auto has = [&](std::string_view name) {
        return std::any_of(package.Entries().begin(), package.Entries().end(),
                           [&](const ArchiveEntry& entry) { return !entry.directory && entry.name == name; });
    };
    if (has(kCodeIntegrityName) && !has(kSignatureName)) {
        package.Fail(kMissingFootprintFile, L"has an " + FromUtf8Lossy(kCodeIntegrityName) + L" but no " +
                                                FromUtf8Lossy(kSignatureName));
    }
    if (!has(kContentTypesName)) {
        package.Fail(kCorruptPackage, L"has no " + FromUtf8Lossy(kContentTypesName));
    }
    const ArchiveEntry& entry = package.Required(kContentTypesName);
    ContentTypes types;
    try {
        types = ReadContentTypes(package.ReadWhole(entry, kContentTypesLimit, kCorruptPackage));
    } catch (const PlatformError& error) {
        package.FailWith(error);
    }
    for (const ArchiveEntry& part : package.Entries()) {
        if (!part.directory && part.name != kContentTypesName && !types.TypeOf(part.name)) {
            package.Fail(kCorruptPackage, L"has a part " + PackageArchive::Quoted(part.name) +
                                              L" that its [Content_Types].xml gives no content type");
        }
    }
}

ManifestContents ReadContents(const PackageArchive& package) {
    CheckStructure(package);
    const std::string manifest = package.ReadWhole(package.Required(kManifestName), kManifestLimit, kInvalidManifest);
    try {
        return ReadManifestContents(manifest);
    } catch (const PlatformError& error) {
        package.FailWith(error);
    }
}

// Read as it is inflated: only its hashes are kept.
BlockMapDocument ReadBlockMapOf(const PackageArchive& package) {
    BlockMapReader reader;
    package.ReadInPieces(package.Required(kBlockMapName), kBlockMapLimit, kInvalidBlockMap, [&](std::string_view piece) {
        try {
            reader.Feed(piece);
        } catch (const PlatformError& error) {
            package.FailWith(error);
        }
    });
    try {
        return reader.Finish();
    } catch (const PlatformError& error) {
        package.FailWith(error);
    }
}

// Payload entries paired with their block map records, in package order.
std::vector<PayloadFile> MatchBlockMap(const PackageArchive& package, const std::vector<BlockMapFile>& blockMap) {
    std::unordered_map<std::string_view, const BlockMapFile*> listed;
    for (const BlockMapFile& file : blockMap) {
        listed.emplace(file.name, &file);
    }
    std::vector<PayloadFile> payload;
    for (const ArchiveEntry& entry : package.Entries()) {
        if (entry.directory || IsFootprintFile(entry.name)) {
            continue;
        }
        const auto found = listed.find(entry.name);
        if (found == listed.end()) {
            package.Fail(kInvalidBlockMap, L"has a file " + PackageArchive::Quoted(entry.name) + L" that its block map does not list");
        }
        if (found->second->size != entry.size) {
            package.Fail(kInvalidBlockMap, L"has a file " + PackageArchive::Quoted(entry.name) + L" of " +
                                               std::to_wstring(entry.size) + L" bytes that its block map gives as " +
                                               std::to_wstring(found->second->size) + L" bytes");
        }
        if (const auto compressed = found->second->compressedSize;
            compressed && (!entry.deflated || *compressed != entry.compressedSize)) {
            package.Fail(kInvalidBlockMap, L"has a file " + PackageArchive::Quoted(entry.name) + L" of " +
                                               std::to_wstring(entry.compressedSize) +
                                               L" compressed bytes whose blocks its block map gives as " +
                                               std::to_wstring(*compressed) + L" bytes");
        }
        payload.push_back(PayloadFile{&entry, found->second});
        listed.erase(found);
    }
    if (!listed.empty()) {
        // Report the first in block map order, so the text does not depend on hashing.
        for (const BlockMapFile& file : blockMap) {
            if (listed.contains(file.name)) {
                package.Fail(kInvalidBlockMap,
                             L"has no file " + PackageArchive::Quoted(file.name) + L", which its block map lists");
            }
        }
    }
    return payload;
}

// The footprint files that the platform keeps in the installed package's
// folder beside the payload, copied as they are.
void KeepFootprint(const PackageArchive& package, ExtractionFolder& folder) {
    for (const std::string_view name : {kBlockMapName, kSignatureName, kCodeIntegrityName}) {
        const auto entry = std::find_if(package.Entries().begin(), package.Entries().end(),
                                        [&](const ArchiveEntry& candidate) { return candidate.name == name; });
        if (entry == package.Entries().end() || entry->directory) {
            continue;
        }
        if (const auto slash = name.rfind('/'); slash != std::string_view::npos) {
            folder.Folder(name.substr(0, slash));
        }
        FileDescriptor output = folder.CreateFile(name, false);
        package.ReadInPieces(*entry, name == kBlockMapName ? kBlockMapLimit : kSignatureLimit, kCorruptPackage,
                             [&](std::string_view piece) { folder.Write(output, name, piece.data(), piece.size()); });
        folder.Finish(output, name);
    }
}

}  // namespace

PackageIdentity ReadPackageIdentity(const std::filesystem::path& packageFile) {
    const PackageArchive package(packageFile);
    return ReadContents(package).identity;
}

BlockMapDocument ReadMatchedBlockMap(const PackageArchive& package) {
    CheckStructure(package);
    BlockMapDocument blockMap = ReadBlockMapOf(package);
    MatchBlockMap(package, blockMap.files);
    return blockMap;
}

PackageIdentity ExtractPackage(const std::filesystem::path& packageFile, const std::filesystem::path& destination,
                               const ExtractOptions& options) {
    const PackageArchive package(packageFile, options.displayName, options.range);
    ManifestContents manifest = ReadContents(package);
    if (options.dependencies != nullptr) {
        *options.dependencies = std::move(manifest.dependencies);
    }
    PackageIdentity& identity = manifest.identity;
    const BlockMapDocument blockMap = ReadBlockMapOf(package);
    const std::vector<PayloadFile> payload = MatchBlockMap(package, blockMap.files);
    VerifySignature(package, packageFile, options.range, SignedSubject::Package, blockMap.method, identity.publisher,
                    options.signature);
    std::uint64_t total = 0;
    for (const PayloadFile& file : payload) {
        if (file.entry->size > std::numeric_limits<std::uint64_t>::max() - total) {
            package.Fail(kInvalidBlockMap, L"has files whose sizes add up to more than 2^64 bytes");
        }
        total += file.entry->size;
    }
    auto checkCancelled = [&options] {
        if (options.cancelled && options.cancelled()) {
            Throw(kCancelled, L"The package extraction was cancelled.");
        }
    };
    auto reportProgress = [&options, total](std::uint64_t done) {
        if (options.progress) {
            options.progress(done, total);
        }
    };

    ExtractionFolder folder(destination, options.diskReserve);
    folder.Reserve(total);
    for (const ArchiveEntry& entry : package.Entries()) {
        if (entry.directory) {
            folder.Folder(entry.name);
        }
    }

    checkCancelled();
    reportProgress(0);
    Hasher blockHasher(blockMap.method);
    Hasher fileHasher(blockMap.method);
    std::uint64_t done = 0;
    BlockPipeline pipeline(package, payload);
    for (const PayloadFile& file : payload) {
        const ArchiveEntry& entry = *file.entry;
        FileDescriptor output = folder.CreateFile(entry.name, entry.executable);
        for (std::uint64_t block = 0; block < file.blocks->BlockCount(); ++block) {
            checkCancelled();
            const std::string_view data = pipeline.Next();
            blockHasher.Update(data.data(), data.size());
            if (!std::ranges::equal(blockHasher.Finish().Bytes(), file.blocks->BlockHash(block, blockMap.method))) {
                package.Fail(kBlockHashMismatch, L"has a file " + PackageArchive::Quoted(entry.name) + L" whose block " +
                                                     std::to_wstring(block + 1) +
                                                     L" does not match the hash in its block map");
            }
            if (file.blocks->fileHash) {
                fileHasher.Update(data.data(), data.size());
            }
            folder.Write(output, entry.name, data.data(), data.size());
            pipeline.Release();
            done += data.size();
            reportProgress(done);
        }
        if (file.blocks->fileHash && fileHasher.Finish() != *file.blocks->fileHash) {
            package.Fail(kBlockHashMismatch, L"has a file " + PackageArchive::Quoted(entry.name) +
                                                 L" that does not match the FileHash in its block map");
        }
        folder.Finish(output, entry.name);
    }
    pipeline.Finish();
    KeepFootprint(package, folder);
    folder.Flush();
    return std::move(identity);
}

}  // namespace platform::deployment::local
