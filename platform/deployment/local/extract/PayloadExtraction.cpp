#include "platform/deployment/local/extract/PayloadExtraction.h"

#include <zlib.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <span>
#include <tuple>

#include "platform/Error.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/extract/BlockReuse.h"
#include "platform/deployment/local/format/Hash.h"

namespace platform::deployment::local {
namespace {

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
                      ExtractionFolder& folder, const ExtractOptions& options, std::uint64_t total,
                      std::optional<ParallelBlockPipeline::Reuse> reuse)
        : m_package(package), m_method(method), m_payload(payload), m_folder(folder), m_options(options),
          m_total(total), m_reuse(reuse), m_fileHasher(method) {}

    // A file that fails in parallel is redone as one stream: in an update only
    // that file, so that the files after it still reuse blocks; otherwise it
    // and every file after it.
    void Run() {
        CheckCancelled();
        Report(0);
        for (std::size_t next = 0; next < m_payload.size();) {
            std::size_t first = next;
            FileDescriptor partial;
            if (!m_options.sequential) {
                std::tie(first, partial) = InParallel(next);
            }
            if (first == m_payload.size()) {
                return;
            }
            next = m_reuse ? first + 1 : m_payload.size();
            if (m_reuse && m_options.arriving != nullptr) {
                m_options.arriving->FetchParts({m_reuse->plan.EntryPart(first)});
            }
            Sequentially(first, next, std::move(partial));
        }
    }

private:
    // The file to go on with sequentially (the payload's end when all went
    // well) and that file as far as it was written.
    std::pair<std::size_t, FileDescriptor> InParallel(std::size_t from) {
        std::optional<ParallelBlockPipeline::Reuse> reuse;
        if (m_reuse) {
            reuse.emplace(ParallelBlockPipeline::Reuse{m_reuse->plan, m_reuse->bytes, from});
        }
        const std::unique_ptr<ParallelBlockPipeline> pipeline =
            ParallelBlockPipeline::Start(m_package, std::span(m_payload).subspan(from), m_method, reuse);
        if (!pipeline) {
            return {from, FileDescriptor()};
        }
        const StopOnFailure stopTransfer(m_options.arriving);
        for (std::size_t index = from; index < m_payload.size(); ++index) {
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
            good = good && crc == pipeline->Crc(index - from) &&
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

    // Files [first, end); `partial`, when open, is the first file's output, to be written afresh.
    void Sequentially(std::size_t first, std::size_t end, FileDescriptor partial) {
        const std::span<const PayloadFile> rest = std::span(m_payload).subspan(first, end - first);
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
    std::optional<ParallelBlockPipeline::Reuse> m_reuse;
    Hasher m_fileHasher;
    std::uint64_t m_done = 0;
    std::uint64_t m_reported = 0;
};


}  // namespace

void ExtractPayload(const PackageArchive& package, HashMethod method, const std::vector<PayloadFile>& payload,
                    ExtractionFolder& folder, const ExtractOptions& options, std::uint64_t total,
                    std::optional<ParallelBlockPipeline::Reuse> reuse) {
    PayloadExtraction(package, method, payload, folder, options, total, reuse).Run();
}

}  // namespace platform::deployment::local
