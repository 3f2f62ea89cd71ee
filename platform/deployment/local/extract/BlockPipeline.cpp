#include "platform/deployment/local/extract/BlockPipeline.h"

#include <fcntl.h>
#include <libdeflate.h>

#include <algorithm>

#include "platform/Error.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/extract/BlockReuse.h"
#include "platform/deployment/local/format/Hash.h"

namespace platform::deployment::local {

BlockPipeline::BlockPipeline(const PackageArchive& archive, std::span<const PayloadFile> payload)
    : m_slots(kSlots) {
    for (Slot& slot : m_slots) {
        slot.data.resize(kBlockSize);
    }
    m_thread = std::thread([this, &archive, payload] { Produce(archive, payload); });
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

void BlockPipeline::Produce(const PackageArchive& archive, std::span<const PayloadFile> payload) noexcept {
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

namespace {

// Deflating 64 KiB on its own never makes much more of it (stored blocks add
// five bytes each, a flush a few more); a larger Size is no such block.
constexpr std::size_t kLargestRawBlock = kBlockSize + 1024;
// An empty final block: it ends a fully flushed block as a stream of its own.
constexpr char kFinalBlock[] = {0x03, 0x00};
// Blocks in flight per thread: enough to keep every thread busy while the
// caller writes; and at most (some 8 MiB), for memory to stay small on any
// machine.
constexpr std::size_t kSlotsPerThread = 4;
constexpr std::size_t kMostSlots = 64;

std::uint64_t UnitSize(const PayloadFile& file, std::uint64_t unit) { return file.blocks->BlockSize(unit); }

// The compressed bytes of a unit; the last one's with the final block after it.
std::uint64_t RawSize(const PayloadFile& file, std::uint64_t unit) {
    if (!file.entry->deflated) {
        return file.entry->size == 0 ? 0 : UnitSize(file, unit);
    }
    if (file.blocks->blockSizes.empty()) {
        return file.entry->compressedSize;
    }
    const bool last = unit + 1 == file.blocks->blockSizes.size();
    return file.blocks->blockSizes[unit] + (last ? FinalBlockBytes(file) : 0);
}

}  // namespace

bool ParallelBlockPipeline::CanCutApart(const PayloadFile& file) noexcept {
    const ArchiveEntry& entry = *file.entry;
    if (!entry.deflated) {
        return entry.compressedSize == entry.size;
    }
    if (entry.size == 0) {
        return file.blocks->blockSizes.empty() && entry.compressedSize <= kLargestRawBlock;
    }
    return file.blocks->blockSizes.size() == file.blocks->BlockCount() &&
           std::ranges::all_of(file.blocks->blockSizes, [](std::uint32_t size) { return size <= kLargestRawBlock; });
}

struct ParallelBlockPipeline::Slot {
    std::vector<char> input = std::vector<char>(kLargestRawBlock + sizeof kFinalBlock);
    std::vector<char> output = std::vector<char>(kBlockSize);
    std::size_t inputSize = 0;
    bool inflate = false;
    std::size_t file = 0;
    std::uint64_t unit = 0;
    Unit result;
    bool ready = false;
};

struct ParallelBlockPipeline::Worker {
    struct DecompressorDeleter {
        void operator()(libdeflate_decompressor* decompressor) const noexcept {
            libdeflate_free_decompressor(decompressor);
        }
    };

    explicit Worker(HashMethod method) : decompressor(libdeflate_alloc_decompressor()), hasher(method) {
        if (!decompressor) {
            Throw(kOutOfMemory);
        }
    }

    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor;
    Hasher hasher;
};

std::uint64_t ParallelBlockPipeline::UnitCount(const PayloadFile& file) noexcept {
    return std::max<std::uint64_t>(1, file.blocks->BlockCount());
}

std::unique_ptr<ParallelBlockPipeline> ParallelBlockPipeline::Start(const PackageArchive& archive,
                                                                    std::span<const PayloadFile> payload,
                                                                    HashMethod method, std::optional<Reuse> reuse) {
    std::vector<std::uint32_t> crcs;
    crcs.reserve(payload.size());
    for (std::size_t index = 0; index < payload.size(); ++index) {
        const PayloadFile& file = payload[index];
        const std::optional<std::uint32_t> crc = archive.Crc(*file.entry);
        const bool cut = !reuse || reuse->plan.ReadsPackage(reuse->firstFile + index);
        if (!crc || (cut && !CanCutApart(file))) {
            return nullptr;
        }
        crcs.push_back(*crc);
    }
    return std::unique_ptr<ParallelBlockPipeline>(
        new ParallelBlockPipeline(archive, payload, method, std::move(crcs), reuse));
}

ParallelBlockPipeline::ParallelBlockPipeline(const PackageArchive& archive, std::span<const PayloadFile> payload,
                                             HashMethod method, std::vector<std::uint32_t> crcs,
                                             std::optional<Reuse> reuse)
    : m_archive(archive), m_payload(payload), m_method(method), m_crcs(std::move(crcs)), m_reuse(reuse) {
    const std::size_t threads = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, kMostSlots);
    m_slots.resize(std::min(threads * kSlotsPerThread, kMostSlots));
    for (auto& slot : m_slots) {
        slot = std::make_unique<Slot>();
    }
    m_readEnded = m_payload.empty();
    try {
        for (std::size_t index = 0; index < threads; ++index) {
            m_workers.push_back(std::make_unique<Worker>(method));
        }
        for (auto& worker : m_workers) {
            m_threads.emplace_back([this, &worker] { Run(*worker); });
        }
    } catch (...) {
        Stop();
        throw;
    }
}

ParallelBlockPipeline::~ParallelBlockPipeline() { Stop(); }

void ParallelBlockPipeline::Stop() noexcept {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    for (std::thread& thread : m_threads) {
        thread.join();
    }
    m_threads.clear();
}

const ParallelBlockPipeline::Unit& ParallelBlockPipeline::Next() {
    static const Unit kMissing;
    std::unique_lock lock(m_mutex);
    Slot& slot = *m_slots[m_released % m_slots.size()];
    m_changed.wait(lock, [&] { return slot.ready || (m_readEnded && !m_reading && m_claimed <= m_released); });
    return slot.ready ? slot.result : kMissing;
}

void ParallelBlockPipeline::Release() {
    {
        const std::lock_guard lock(m_mutex);
        m_slots[m_released % m_slots.size()]->ready = false;
        ++m_released;
    }
    m_changed.notify_all();
}

void ParallelBlockPipeline::Run(Worker& worker) noexcept {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] {
            return m_stopping || m_readEnded || (!m_reading && m_claimed < m_released + m_slots.size());
        });
        if (m_stopping || m_readEnded) {
            return;
        }
        m_reading = true;
        Slot& slot = *m_slots[m_claimed % m_slots.size()];
        ++m_claimed;
        lock.unlock();
        const bool read = ReadUnit(slot);
        lock.lock();
        m_reading = false;
        m_readEnded = !read || m_readFile == m_payload.size();
        lock.unlock();
        m_changed.notify_all();

        if (read) {
            Work(worker, slot);
        } else {
            slot.result = Unit{};
        }
        lock.lock();
        slot.ready = true;
        lock.unlock();
        m_changed.notify_all();
        lock.lock();
    }
}

bool ParallelBlockPipeline::ReadUnit(Slot& slot) noexcept {
    const PayloadFile& file = m_payload[m_readFile];
    slot.file = m_readFile;
    slot.unit = m_readUnit;
    const bool last = m_readUnit + 1 == UnitCount(file);
    try {
        if (m_reuse) {
            ReadPlanned(slot, last);
        } else {
            if (m_readUnit == 0) {
            m_reader = m_archive.OpenRaw(*file.entry);
        }
            const auto size = static_cast<std::size_t>(RawSize(file, m_readUnit));
            if (m_archive.Read(m_reader, *file.entry, slot.input.data(), size) != size) {
                return false;
            }
            slot.inputSize = size;
            slot.inflate = file.entry->deflated;
            if (file.entry->deflated && !last) {
                std::copy(std::begin(kFinalBlock), std::end(kFinalBlock), slot.input.begin() + size);
                slot.inputSize += sizeof kFinalBlock;
            }
        }
    } catch (...) {
        return false;
    }
    if (last) {
        m_reader.reset();
        ++m_readFile;
        m_readUnit = 0;
    } else {
        ++m_readUnit;
    }
    return true;
}

// A block of an installed file is read as it is; one of the package as the
// package holds it. Raises when it cannot be read whole.
void ParallelBlockPipeline::ReadPlanned(Slot& slot, bool last) {
    const PayloadFile& file = m_payload[m_readFile];
    const BlockSource& source = m_reuse->plan.Source(m_reuse->firstFile + m_readFile, m_readUnit);
    slot.inputSize = source.size;
    slot.inflate = false;
    if (source.size == 0) {
        return;
    }
    if (source.installedFile == BlockSource::kPackage) {
        m_reuse->bytes.Read(source.offset, slot.input.data(), source.size);
        slot.inflate = file.entry->deflated;
        if (slot.inflate && !last) {
            std::copy(std::begin(kFinalBlock), std::end(kFinalBlock), slot.input.begin() + source.size);
            slot.inputSize += sizeof kFinalBlock;
        }
        return;
    }
    if (m_installedIndex != source.installedFile) {
        m_installedIndex = BlockSource::kPackage;
        m_installed = FileDescriptor(
            ::open(m_reuse->plan.InstalledFile(source.installedFile).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!m_installed) {
            Throw(kUnexpected);
        }
        m_installedIndex = source.installedFile;
    }
    if (ReadAllAt(m_installed, slot.input.data(), source.size, source.offset) != source.size) {
        Throw(kUnexpected);
    }
}

void ParallelBlockPipeline::Work(Worker& worker, Slot& slot) const noexcept {
    const PayloadFile& file = m_payload[slot.file];
    const auto size = static_cast<std::size_t>(file.entry->size == 0 ? 0 : UnitSize(file, slot.unit));
    Unit result;
    if (slot.inflate) {
        std::size_t consumed = 0;
        std::size_t produced = 0;
        const libdeflate_result inflated =
            libdeflate_deflate_decompress_ex(worker.decompressor.get(), slot.input.data(), slot.inputSize,
                                             slot.output.data(), size, &consumed, &produced);
        result.data = std::string_view(slot.output.data(), size);
        result.good = inflated == LIBDEFLATE_SUCCESS && consumed == slot.inputSize && produced == size;
    } else {
        result.data = std::string_view(slot.input.data(), size);
        result.good = slot.inputSize == size;
    }
    if (result.good && file.entry->size != 0) {
        try {
            worker.hasher.Update(result.data.data(), result.data.size());
            result.good =
                std::ranges::equal(worker.hasher.Finish().Bytes(), file.blocks->BlockHash(slot.unit, m_method));
        } catch (...) {
            result.good = false;
        }
    }
    result.crc = libdeflate_crc32(0, result.data.data(), result.data.size());
    slot.result = result;
}

}  // namespace platform::deployment::local
