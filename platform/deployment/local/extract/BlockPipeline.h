// Decompresses a package's payload on a second thread, a few blocks ahead of
// the caller who hashes and writes them, so that inflating overlaps the rest.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/Error.h"
#include "platform/deployment/local/format/BlockMap.h"
#include "platform/deployment/local/format/PackageArchive.h"

namespace platform::deployment::local {

// A payload entry paired with its block map record.
struct PayloadFile {
    const ArchiveEntry* entry;
    const BlockMapFile* blocks;
};

// Blocks come out in package order, each the size the block map gives it; a
// failure of the decompressing side (unreadable data 0x80080206, data shorter
// or longer than the block map says 0x80080205) comes out in its place in that
// order. The archive and the payload must outlive the pipeline.
class BlockPipeline {
public:
    BlockPipeline(const PackageArchive& archive, const std::vector<PayloadFile>& payload);
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
    void Produce(const PackageArchive& archive, const std::vector<PayloadFile>& payload) noexcept;

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

}  // namespace platform::deployment::local
