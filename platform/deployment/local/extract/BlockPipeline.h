// Decompresses a package's payload ahead of the caller who writes it: on a
// pool of threads, block by block, where every block was deflated on its own;
// otherwise on a second thread, in one stream per file.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/Error.h"
#include "platform/deployment/local/FileDescriptor.h"
#include "platform/deployment/local/format/BlockMap.h"
#include "platform/deployment/local/format/PackageArchive.h"

namespace platform::deployment::local {

class BlockReuse;
class PackageBytes;

// A payload entry paired with its block map record.
struct PayloadFile {
    const ArchiveEntry* entry;
    const BlockMapFile* blocks;
};

// The platform's packer ends a deflated file with an empty final block (03 00)
// after its last block, which no block's Size covers.
constexpr std::uint64_t kFinalBlockSize = 2;

// The bytes of a deflated entry after those of its blocks: 0 or kFinalBlockSize
// once the block map has been matched with the archive.
inline std::uint64_t FinalBlockBytes(const PayloadFile& file) noexcept {
    const auto& listed = file.blocks->compressedSize;
    return file.entry->deflated && listed && file.entry->compressedSize > *listed
               ? file.entry->compressedSize - *listed
               : 0;
}

// Blocks come out in package order, each the size the block map gives it; a
// failure of the decompressing side (unreadable data 0x80080206, data shorter
// or longer than the block map says 0x80080205) comes out in its place in that
// order. The archive and the payload must outlive the pipeline.
class BlockPipeline {
public:
    BlockPipeline(const PackageArchive& archive, std::span<const PayloadFile> payload);
    ~BlockPipeline();
    BlockPipeline(const BlockPipeline&) = delete;
    BlockPipeline& operator=(const BlockPipeline&) = delete;

    // The next block; valid until Release.
    std::string_view Next();
    void Release();
    // Waits for the decompressing side to end and raises its failure, if any.
    void Finish();

private:
    static constexpr std::size_t kSlots = 4;

    struct Slot {
        std::vector<char> data;
        std::size_t size = 0;
    };

    // Raised afresh on the caller's thread: no exception object crosses threads.
    void RaiseFailure();
    // The slot to fill next, once the caller has room; nullptr when stopping.
    Slot* Acquire();
    void Publish();
    void Produce(const PackageArchive& archive, std::span<const PayloadFile> payload) noexcept;

    std::vector<Slot> m_slots;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_head = 0;   // slots published
    std::size_t m_tail = 0;   // slots released
    std::size_t m_count = 0;  // published, not yet released
    bool m_stopping = false;
    bool m_done = false;
    std::optional<Failure> m_failure;
    std::thread m_thread;
};

// Reads the payload's compressed bytes in order, cuts them at the block map's
// block sizes, and lets a pool of threads inflate and hash the blocks, a fixed
// window ahead of the caller, who takes them in package order. A unit is a
// block, or the one empty unit of an empty file. A unit that cannot be read,
// that does not inflate on its own to exactly its size, or whose hash does not
// match comes out as not good, and nothing after it is read: the caller redoes
// that file on the sequential pipeline, which decides how it is refused. So
// the workers raise nothing, and no exception object crosses threads.
class ParallelBlockPipeline {
public:
    struct Unit {
        std::string_view data;
        std::uint32_t crc = 0;  // CRC-32 of data
        bool good = false;
    };

    // Where the blocks are read from in an update: as `plan` says, from the
    // installed files or the package's `bytes`; `firstFile` is the pipeline's
    // first file in the plan.
    struct Reuse {
        const BlockReuse& plan;
        const PackageBytes& bytes;
        std::size_t firstFile = 0;
    };

    // Started only when every file's blocks can be cut apart: a deflated file's
    // block map gives every block's compressed size (within what deflating a
    // block alone can make of it), a stored file holds its bytes as they are,
    // and the archive records every CRC-32. Otherwise none. With `reuse`, only
    // the files read from the package need to be cut apart.
    static std::unique_ptr<ParallelBlockPipeline> Start(const PackageArchive& archive,
                                                        std::span<const PayloadFile> payload, HashMethod method,
                                                        std::optional<Reuse> reuse = std::nullopt);
    static bool CanCutApart(const PayloadFile& file) noexcept;
    ~ParallelBlockPipeline();
    ParallelBlockPipeline(const ParallelBlockPipeline&) = delete;
    ParallelBlockPipeline& operator=(const ParallelBlockPipeline&) = delete;

    static std::uint64_t UnitCount(const PayloadFile& file) noexcept;
    // The CRC-32 the archive records for a payload file.
    std::uint32_t Crc(std::size_t file) const noexcept { return m_crcs[file]; }

    // The next unit; valid until Release.
    const Unit& Next();
    void Release();

private:
    struct Slot;
    struct Worker;

    ParallelBlockPipeline(const PackageArchive& archive, std::span<const PayloadFile> payload, HashMethod method,
                          std::vector<std::uint32_t> crcs, std::optional<Reuse> reuse);
    void Run(Worker& worker) noexcept;
    // Reading is one thread's at a time, in package order.
    bool ReadUnit(Slot& slot) noexcept;
    void ReadPlanned(Slot& slot, bool last);
    void Work(Worker& worker, Slot& slot) const noexcept;
    void Stop() noexcept;

    const PackageArchive& m_archive;
    std::span<const PayloadFile> m_payload;
    HashMethod m_method;
    std::vector<std::uint32_t> m_crcs;
    std::optional<Reuse> m_reuse;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::vector<std::unique_ptr<Worker>> m_workers;
    std::vector<std::thread> m_threads;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_claimed = 0;   // units taken up for reading
    std::size_t m_released = 0;  // units the caller is done with
    bool m_reading = false;
    bool m_readEnded = false;  // all read, or a unit failed to be
    bool m_stopping = false;

    // Only the reading thread's.
    std::size_t m_readFile = 0;
    std::uint64_t m_readUnit = 0;
    PackageArchive::EntryReader m_reader;
    FileDescriptor m_installed;
    std::uint32_t m_installedIndex = 0xFFFFFFFF;
};

}  // namespace platform::deployment::local
