#include "platform/deployment/local/extract/BlockPipeline.h"

#include <algorithm>

#include "platform/Error.h"
#include "platform/deployment/local/Codes.h"

namespace platform::deployment::local {

BlockPipeline::BlockPipeline(const PackageArchive& archive, const std::vector<PayloadFile>& payload)
    : m_slots(kSlots) {
    for (Slot& slot : m_slots) {
        slot.data.resize(kBlockSize);
    }
    m_thread = std::thread([this, &archive, &payload] { Produce(archive, payload); });
}

BlockPipeline::~BlockPipeline() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

std::string_view BlockPipeline::Next() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_count > 0 || m_done; });
    if (m_count == 0) {
        RaiseFailure();
        Throw(kUnexpected, L"The package extraction ran out of data.");
    }
    const Slot& slot = m_slots[m_tail % kSlots];
    return std::string_view(slot.data.data(), slot.size);
}

void BlockPipeline::Release() {
    {
        const std::lock_guard lock(m_mutex);
        ++m_tail;
        --m_count;
    }
    m_changed.notify_all();
}

void BlockPipeline::Finish() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_done; });
    RaiseFailure();
}

void BlockPipeline::RaiseFailure() {
    if (m_failure) {
        Throw(*m_failure);
    }
}

BlockPipeline::Slot* BlockPipeline::Acquire() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_count < kSlots || m_stopping; });
    return m_stopping ? nullptr : &m_slots[m_head % kSlots];
}

void BlockPipeline::Publish() {
    {
        const std::lock_guard lock(m_mutex);
        ++m_head;
        ++m_count;
    }
    m_changed.notify_all();
}

void BlockPipeline::Produce(const PackageArchive& archive, const std::vector<PayloadFile>& payload) noexcept {
    std::optional<Failure> failure;
    try {
        for (const PayloadFile& file : payload) {
            const ArchiveEntry& entry = *file.entry;
            const PackageArchive::EntryReader input = archive.Open(entry);
            for (std::uint64_t block = 0; block < file.blocks->BlockCount(); ++block) {
                Slot* slot = Acquire();
                if (slot == nullptr) {
                    return;
                }
                const std::uint64_t expected = std::min<std::uint64_t>(kBlockSize, entry.size - block * kBlockSize);
                slot->size = archive.Read(input, entry, slot->data.data(), expected);
                if (slot->size != expected) {
                    archive.Fail(kInvalidBlockMap, L"has a file " + PackageArchive::Quoted(entry.name) +
                                                       L" whose data ends before the size its block map gives");
                }
                Publish();
            }
            char extra = 0;
            if (archive.Read(input, entry, &extra, 1) != 0) {
                archive.Fail(kInvalidBlockMap, L"has a file " + PackageArchive::Quoted(entry.name) +
                                                   L" with more data than the size its block map gives");
            }
        }
    } catch (...) {
        failure = CurrentFailure();
    }
    {
        const std::lock_guard lock(m_mutex);
        m_failure = std::move(failure);
        m_done = true;
    }
    m_changed.notify_all();
}

}  // namespace platform::deployment::local
