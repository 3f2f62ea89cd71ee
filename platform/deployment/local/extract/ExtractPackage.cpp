#include "platform/deployment/local/extract/ExtractPackage.h"

#include <zlib.h>

#include <algorithm>
#include <exception>
#include <limits>
#include <memory>
#include <span>
#include <tuple>
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
std::vector<PayloadFile> MatchBlockMap(const PackageArchive& package, const BlockMapFiles& blockMap) {
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
            package.Fail(kInvalidBlockMap, L"has a file " + PackageArchive::Quoted(entry.name) + L" that its block map does not list");
        }
        const BlockMapFile& listed = **found;
        if (listed.size != entry.size) {
            package.Fail(kInvalidBlockMap, L"has a file " + PackageArchive::Quoted(entry.name) + L" of " +
                                               std::to_wstring(entry.size) + L" bytes that its block map gives as " +
                                               std::to_wstring(listed.size) + L" bytes");
        }
        if (const auto compressed = listed.compressedSize;
            compressed && (!entry.deflated || *compressed != entry.compressedSize)) {
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

// Stops the transfer the archive waits on when the extraction fails, so that
// a pipeline's reads stop waiting for bytes no one needs; declared after the
// pipeline, so it acts before the pipeline is destroyed.
class StopOnFailure {
public:
    explicit StopOnFailure(ArrivingFile* arriving) : m_arriving(arriving) {}
    ~StopOnFailure() {
        if (m_arriving != nullptr && std::uncaught_exceptions() > m_exceptions) {
            m_arriving->Stop();
        }
    }
    StopOnFailure(const StopOnFailure&) = delete;
    StopOnFailure& operator=(const StopOnFailure&) = delete;

private:
    ArrivingFile* m_arriving;
    int m_exceptions = std::uncaught_exceptions();
};

// Writes the payload files in package order, verifying each block and file as
// it goes: on every core where the blocks can be inflated apart, otherwise, and
// from the first file that fails that way, as one stream per file.
class PayloadExtraction {
public:
    PayloadExtraction(const PackageArchive& package, HashMethod method, const std::vector<PayloadFile>& payload,
                      ExtractionFolder& folder, const ExtractOptions& options, std::uint64_t total)
        : m_package(package), m_method(method), m_payload(payload), m_folder(folder), m_options(options),
          m_total(total), m_fileHasher(method) {}

    void Run() {
        CheckCancelled();
        Report(0);
        std::size_t first = 0;
        FileDescriptor partial;
        if (!m_options.sequential) {
            std::tie(first, partial) = InParallel();
        }
        Sequentially(first, std::move(partial));
    }

private:
    // The file to go on with sequentially (the payload's end when all went
    // well) and that file as far as it was written.
    std::pair<std::size_t, FileDescriptor> InParallel() {
        const std::unique_ptr<ParallelBlockPipeline> pipeline =
            ParallelBlockPipeline::Start(m_package, m_payload, m_method);
        if (!pipeline) {
            return {0, FileDescriptor()};
        }
        const StopOnFailure stopTransfer(m_options.arriving);
        for (std::size_t index = 0; index < m_payload.size(); ++index) {
            const PayloadFile& file = m_payload[index];
            const ArchiveEntry& entry = *file.entry;
            FileDescriptor output = m_folder.CreateFile(entry.name, entry.executable);
            const std::uint64_t start = m_done;
            bool good = true;
            uLong crc = crc32(0, nullptr, 0);
            for (std::uint64_t unit = 0; good && unit < ParallelBlockPipeline::UnitCount(file); ++unit) {
                CheckCancelled();
                const ParallelBlockPipeline::Unit& block = pipeline->Next();
                good = block.good;
                if (good) {
                    Write(file, output, block.data);
                    crc = crc32_combine(crc, block.crc, static_cast<z_off_t>(block.data.size()));
                }
                pipeline->Release();
            }
            // The CRC-32 that inflating as one stream would check, and the file's hash.
            good = good && crc == pipeline->Crc(index) &&
                   (!file.blocks->fileHash || m_fileHasher.Finish() == *file.blocks->fileHash);
            if (!good) {
                m_fileHasher.Finish();
                m_done = start;
                return {index, std::move(output)};
            }
            m_folder.Finish(output, entry.name);
        }
        return {m_payload.size(), FileDescriptor()};
    }

    // `partial`, when open, is the first file's output, to be written afresh.
    void Sequentially(std::size_t first, FileDescriptor partial) {
        if (first == m_payload.size()) {
            return;
        }
        const std::span<const PayloadFile> rest = std::span(m_payload).subspan(first);
        Hasher blockHasher(m_method);
        BlockPipeline pipeline(m_package, rest);
        const StopOnFailure stopTransfer(m_options.arriving);
        for (const PayloadFile& file : rest) {
            const ArchiveEntry& entry = *file.entry;
            FileDescriptor output;
            if (partial) {
                m_folder.Rewind(partial, entry.name);
                output = std::move(partial);
            } else {
                output = m_folder.CreateFile(entry.name, entry.executable);
            }
            for (std::uint64_t block = 0; block < file.blocks->BlockCount(); ++block) {
                CheckCancelled();
                const std::string_view data = pipeline.Next();
                blockHasher.Update(data.data(), data.size());
                if (!std::ranges::equal(blockHasher.Finish().Bytes(), file.blocks->BlockHash(block, m_method))) {
                    m_package.Fail(kBlockHashMismatch, L"has a file " + PackageArchive::Quoted(entry.name) +
                                                           L" whose block " + std::to_wstring(block + 1) +
                                                           L" does not match the hash in its block map");
                }
                Write(file, output, data);
                pipeline.Release();
            }
            if (file.blocks->fileHash && m_fileHasher.Finish() != *file.blocks->fileHash) {
                m_package.Fail(kBlockHashMismatch, L"has a file " + PackageArchive::Quoted(entry.name) +
                                                       L" that does not match the FileHash in its block map");
            }
            m_folder.Finish(output, entry.name);
        }
        pipeline.Finish();
    }

    void Write(const PayloadFile& file, const FileDescriptor& output, std::string_view data) {
        if (data.empty()) {
            return;
        }
        if (file.blocks->fileHash) {
            m_fileHasher.Update(data.data(), data.size());
        }
        m_folder.Write(output, file.entry->name, data.data(), data.size());
        m_done += data.size();
        Report(m_done);
    }

    void CheckCancelled() const {
        if (m_options.cancelled && m_options.cancelled()) {
            Throw(kCancelled, L"The package extraction was cancelled.");
        }
    }

    // Never backwards, also when a file is written again.
    void Report(std::uint64_t done) {
        if (m_options.progress && (done > m_reported || done == 0)) {
            m_reported = done;
            m_options.progress(done, m_total);
        }
    }

    const PackageArchive& m_package;
    HashMethod m_method;
    const std::vector<PayloadFile>& m_payload;
    ExtractionFolder& m_folder;
    const ExtractOptions& m_options;
    std::uint64_t m_total;
    Hasher m_fileHasher;
    std::uint64_t m_done = 0;
    std::uint64_t m_reported = 0;
};

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

    PayloadExtraction(package, blockMap.method, payload, folder, options, total).Run();
    package.CheckLocalHeaders();
    if (signedPrefix) {
        CheckSignedPrefix(package, packageFile, options.range, *signedPrefix, blockMap.method, options.arriving);
    }
    KeepFootprint(package, folder);
    folder.Flush();
    return std::move(identity);
}

}  // namespace platform::deployment::local
