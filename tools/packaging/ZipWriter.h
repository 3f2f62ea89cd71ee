// A ZIP archive written as the platform's packer writes one: entries streamed
// one after another, each local header (version 4.5, no sizes, no extra field)
// followed by its data and a ZIP64 data descriptor, a central directory whose
// entries all carry ZIP64 sizes and offsets, and the ZIP64 end records before
// a classic one that defers every value to them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace packaging {

constexpr std::size_t kZipBlockSize = 65536;

// How an entry's data is written.
enum class Compression {
    // Deflated 64 KiB block by block, each block's compressed bytes standing
    // on their own, then an empty final block: the files a block map lists.
    Blocks,
    // Deflated as one finished stream: the parts outside the block map.
    Stream,
    Stored,
};

// Raises std::runtime_error on failure.
class ZipWriter {
public:
    // Fills the buffer with up to `size` bytes of an entry's data and returns
    // how many; fewer only at its end.
    using Reader = std::function<std::size_t(char* buffer, std::size_t size)>;
    // Sees each block of an entry's data once it is written, with the size of
    // its compressed bytes (0 for a stored entry).
    using BlockSink = std::function<void(std::string_view block, std::uint64_t compressedSize)>;

    // Creates the file, replacing one that is there.
    explicit ZipWriter(const std::filesystem::path& file);
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    // An entry under a raw name. A Unix mode with any execute bit, or of
    // anything but a regular file, is kept in the central directory (the
    // packer keeps none, so a plain file's entry is exactly the packer's).
    void Add(const std::string& name, std::uint32_t mode, Compression compression, const Reader& read,
             const BlockSink& sink = {});
    void AddBytes(const std::string& name, std::string_view bytes, std::uint32_t mode, Compression compression);
    // Writes the central directory and the end records; without it the file is incomplete.
    void Close();
    // Later entries' blocks may refer back into earlier blocks (flushed, not
    // fully), and end with the stream: so do older packers' streams, whose
    // blocks cannot be inflated apart.
    void DeflateBlocksTogether() noexcept { m_blocksApart = false; }

    // Where the next entry's local header goes.
    std::uint64_t Offset() const { return m_offset; }
    // The central directory and the end records that Close would write now.
    std::string EndRecords() const;
    // Gives the classic end record's disk numbers as 0, not as deferred to
    // the ZIP64 end record: as signers lay out what they sign.
    void DiskNumbersZero(bool zero = true) noexcept { m_diskNumbersZero = zero; }
    // Sees every byte written from now on, in order.
    void Observe(std::function<void(std::string_view written)> observer) { m_observer = std::move(observer); }

private:
    struct CentralEntry {
        std::string name;
        std::uint32_t mode = 0;
        std::uint16_t method = 0;
        std::uint32_t crc = 0;
        std::uint64_t compressedSize = 0;
        std::uint64_t size = 0;
        std::uint64_t offset = 0;
    };

    void Write(std::string_view bytes);

    std::filesystem::path m_file;
    std::ofstream m_out;
    std::uint64_t m_offset = 0;
    std::vector<CentralEntry> m_entries;
    bool m_closed = false;
    bool m_blocksApart = true;
    bool m_diskNumbersZero = false;
    std::function<void(std::string_view)> m_observer;
};

}  // namespace packaging
