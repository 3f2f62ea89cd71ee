#include "platform/deployment/local/extract/ExtractPackage.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/extract/BlockPipeline.h"
#include "platform/deployment/local/extract/BlockReuse.h"
#include "platform/deployment/local/extract/PayloadExtraction.h"
#include "platform/deployment/local/extract/ExtractionFolder.h"
#include "platform/deployment/local/format/BlockMap.h"
#include "platform/deployment/local/format/ContentTypes.h"
#include "platform/deployment/local/format/Hash.h"
#include "platform/deployment/local/format/Manifest.h"
#include "platform/deployment/local/format/PackageArchive.h"
#include "platform/deployment/local/format/PartNames.h"
#include "platform/deployment/local/format/SignedZip.h"

namespace platform::deployment::local {
namespace {

// Far above what real packages carry; they keep a hostile package from
// making us hold an unbounded document in memory (the block map's is
// kBlockMapLimit: not the map but its hashes are held, about half its size).
constexpr std::uint64_t kManifestLimit = 8 * 1024 * 1024;
constexpr std::uint64_t kContentTypesLimit = 8 * 1024 * 1024;
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
        package.Fail(kZipNoContentTypes, L"has no " + FromUtf8Lossy(kContentTypesName));
    }
    const ArchiveEntry& entry = package.Required(kContentTypesName);
    ContentTypes types;
    try {
        types = ReadContentTypes(package.ReadWhole(entry, kContentTypesLimit, kCorruptPackage));
    } catch (const PlatformError& error) {
        package.FailWith(error);
    }
    // The packaging library sees no part without a content type, so its block
    // map lists a file that the package lacks.
    for (const ArchiveEntry& part : package.Entries()) {
        if (!part.directory && part.name != kContentTypesName && !types.TypeOf(part.name)) {
            package.Fail(kInvalidBlockMap, L"has a part " + PackageArchive::Quoted(part.name) +
                                              L" that its [Content_Types].xml gives no content type");
        }
    }
}

ManifestContents ReadContents(const PackageArchive& package) {
    CheckStructure(package);
    // The packaging library finds it missing from the block map, which must list it.
    if (std::none_of(package.Entries().begin(), package.Entries().end(),
                     [](const ArchiveEntry& entry) { return !entry.directory && entry.name == kManifestName; })) {
        package.Fail(kInvalidBlockMap, L"has no " + FromUtf8Lossy(kManifestName));
    }
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
    reader.ExpectFiles(package.Entries().size());
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

// Payload entries paired with their block map records, in package order. The
// records are looked up in a sorted list of them: a map would cost more per
// file than the records themselves.
std::vector<PayloadFile> MatchBlockMap(const PackageArchive& package, const BlockMapFiles& blockMap,
                                       const std::function<bool(std::string_view name)>& mayGoUnlisted = {}) {
    std::vector<const BlockMapFile*> byName;
    byName.reserve(blockMap.size());
    for (const BlockMapFile& file : blockMap) {
        byName.push_back(&file);
    }
    std::ranges::sort(byName, {}, &BlockMapFile::name);
    std::vector<bool> matched(blockMap.size());
    std::vector<PayloadFile> payload;
    payload.reserve(std::min(blockMap.size(), package.Entries().size()));
    for (const ArchiveEntry& entry : package.Entries()) {
        if (entry.directory || IsFootprintFile(entry.name)) {
            continue;
        }
        const auto found = std::ranges::lower_bound(byName, entry.name, {}, &BlockMapFile::name);
        if (found == byName.end() || (*found)->name != entry.name) {
            if (mayGoUnlisted && mayGoUnlisted(entry.name)) {
                continue;
            }
            package.Fail(kInvalidBlockMap, L"has a file " + PackageArchive::Quoted(entry.name) + L" that its block map does not list");
        }
        const BlockMapFile& listed = **found;
        if (listed.size != entry.size) {
            package.Fail(kInvalidBlockMap, L"has a file " + PackageArchive::Quoted(entry.name) + L" of " +
                                               std::to_wstring(entry.size) + L" bytes that its block map gives as " +
                                               std::to_wstring(listed.size) + L" bytes");
        }
        // The sum of the blocks' Size, or that and the packer's empty final block.
        if (const auto compressed = listed.compressedSize;
            compressed && (!entry.deflated || (*compressed != entry.compressedSize &&
                                               *compressed + kFinalBlockSize != entry.compressedSize))) {
            package.Fail(kInvalidBlockMap, L"has a file " + PackageArchive::Quoted(entry.name) + L" of " +
                                               std::to_wstring(entry.compressedSize) +
                                               L" compressed bytes whose blocks its block map gives as " +
                                               std::to_wstring(*compressed) + L" bytes");
        }
        payload.push_back(PayloadFile{&entry, &listed});
        matched[static_cast<std::size_t>(&listed - &blockMap[0])] = true;
    }
    // The first missing in block map order, so the text does not depend on the sort.
    if (const auto missing = std::ranges::find(matched, false); missing != matched.end()) {
        const BlockMapFile& file = blockMap[static_cast<std::size_t>(missing - matched.begin())];
        package.Fail(kInvalidBlockMap, L"has no file " + PackageArchive::Quoted(file.name) + L", which its block map lists");
    }
    return payload;
}

// The local headers and data descriptors, which libzip does not compare with
// the directory, and the block map's LfhSize of each payload file, which the
// platform reads its data by. The manifest's is not used, so not checked.
void CheckLocalRecordsOf(const PackageArchive& package, const PackageBytes& bytes,
                         const std::vector<PayloadFile>& payload) {
    std::vector<const PayloadFile*> byIndex(package.Entries().size());
    for (const PayloadFile& file : payload) {
        byIndex.at(file.entry->index) = &file;
    }
    const PayloadFile* misplaced = nullptr;
    std::uint64_t misplacedHeader = 0;
    try {
        CheckLocalRecords(bytes, [&](std::uint64_t index, std::uint64_t, std::uint64_t headerSize) {
            const PayloadFile* file = index < byIndex.size() ? byIndex[index] : nullptr;
            if (misplaced == nullptr && file != nullptr && file->blocks->lfhSize != headerSize &&
                file->entry->name != kManifestName) {
                misplaced = file;
                misplacedHeader = headerSize;
            }
        });
    } catch (const PlatformError& error) {
        package.FailWith(error);
    }
    if (misplaced != nullptr) {
        // What the platform then reads is not the file's data: deflated, it
        // does not inflate; stored, its blocks do not match their hashes.
        package.Fail(misplaced->entry->deflated ? kCorruptPackage : kBlockHashMismatch,
                     L"has a file " + PackageArchive::Quoted(misplaced->entry->name) + L" whose local header is " +
                         std::to_wstring(misplacedHeader) + L" bytes, but its block map's LfhSize is " +
                         std::to_wstring(misplaced->blocks->lfhSize));
    }
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

BlockMapDocument ReadMatchedBlockMap(const PackageArchive& package,
                                     const std::function<bool(std::string_view name)>& mayGoUnlisted) {
    CheckStructure(package);
    BlockMapDocument blockMap = ReadBlockMapOf(package);
    MatchBlockMap(package, blockMap.files, mayGoUnlisted);
    return blockMap;
}

PackageIdentity ExtractPackage(const std::filesystem::path& packageFile, const std::filesystem::path& destination,
                               const ExtractOptions& options) {
    const auto opened =
        options.arriving != nullptr
            ? std::make_unique<const PackageArchive>(packageFile, *options.arriving, options.displayName)
            : std::make_unique<const PackageArchive>(packageFile, options.displayName, options.range);
    const PackageArchive& package = *opened;
    ManifestContents manifest = ReadContents(package);
    if (options.checkIdentity) {
        options.checkIdentity(manifest.identity);
    }
    if (options.dependencies != nullptr) {
        *options.dependencies = std::move(manifest.dependencies);
    }
    PackageIdentity& identity = manifest.identity;
    const BlockMapDocument blockMap = ReadBlockMapOf(package);
    const std::vector<PayloadFile> payload = MatchBlockMap(package, blockMap.files);
    // What is still arriving is checked once it is all there.
    std::optional<PackageBytes> bytes;
    if (options.arriving == nullptr) {
        bytes.emplace(packageFile, options.range);
        CheckLocalRecordsOf(package, *bytes, payload);
    }
    const std::optional<SignedPrefix> signedPrefix =
        VerifySignature(package, packageFile, options.range, SignedSubject::Package, blockMap.method, identity.publisher,
                        options.signature, options.arriving);
    std::uint64_t total = 0;
    for (const PayloadFile& file : payload) {
        if (file.entry->size > std::numeric_limits<std::uint64_t>::max() - total) {
            package.Fail(kInvalidBlockMap, L"has files whose sizes add up to more than 2^64 bytes");
        }
        total += file.entry->size;
    }
    ExtractionFolder folder(destination, options.diskReserve);
    folder.Reserve(total);
    for (const ArchiveEntry& entry : package.Entries()) {
        if (entry.directory) {
            folder.Folder(entry.name);
        }
    }

    // An update reads the blocks that an installed version has from its files.
    std::optional<BlockReuse> reuse;
    if (options.reuseFrom && !options.range) {
        if (!bytes) {
            bytes.emplace(packageFile, std::nullopt, options.arriving);
        }
        reuse = BlockReuse::Plan(package, *bytes, payload, blockMap.method, *options.reuseFrom, options.arriving);
        if (reuse && options.arriving != nullptr && !options.arriving->FetchParts(reuse->PackageParts())) {
            reuse.reset();
        }
    }
    std::optional<ParallelBlockPipeline::Reuse> planned;
    if (reuse) {
        planned.emplace(ParallelBlockPipeline::Reuse{*reuse, *bytes, 0});
    }
    ExtractPayload(package, blockMap.method, payload, folder, options, total, planned);
    // Bytes not downloaded cannot be checked: the blocks were, against the
    // block map that the signature covers.
    if (!reuse || options.arriving == nullptr) {
        package.CheckLocalHeaders();
        if (options.arriving != nullptr) {
            CheckLocalRecordsOf(package, PackageBytes(packageFile, std::nullopt, options.arriving), payload);
        }
        if (signedPrefix) {
            CheckSignedPrefix(package, packageFile, options.range, *signedPrefix, blockMap.method, options.arriving);
        }
    }
    KeepFootprint(package, folder);
    folder.Flush();
    return std::move(identity);
}

}  // namespace platform::deployment::local
