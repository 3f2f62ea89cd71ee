// The records at the end of a ZIP archive and in its central directory, read
// through whatever gives the caller the archive's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform::deployment::local {

constexpr std::uint32_t kZipEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kZipCentralSignature = 0x02014b50;
constexpr std::uint32_t kZipLocalSignature = 0x04034b50;
constexpr std::size_t kZipLocalSize = 30;
constexpr std::size_t kZipEndSize = 22;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZipCentralSize = 46;
constexpr std::size_t kZipMaxComment = 0xFFFF;

// Exactly `size` bytes at `offset`, or an exception.
using ZipRead = std::function<void(std::uint64_t offset, void* buffer, std::size_t size)>;

std::uint64_t ZipLittle(const void* at, std::size_t size);

struct ZipEndRecord {
    std::uint64_t offset = 0;
    std::string bytes;  // with its comment
};

// The end record among the last `searched` bytes of an archive of `size`:
// the last one whose comment runs to the end of the archive.
std::optional<ZipEndRecord> FindZipEndRecord(const ZipRead& read, std::uint64_t size, std::uint64_t searched);

struct ZipCentralRecord {
    std::uint64_t offset = 0;  // within the directory
    std::uint64_t size = 0;    // with its name, extra field and comment
    std::string_view name;
    // Each nothing when the record's own field escapes and no ZIP64 extra field gives it.
    std::optional<std::uint64_t> localOffset;
    std::optional<std::uint64_t> compressedSize;
    std::optional<std::uint64_t> uncompressedSize;
    std::uint16_t flags = 0;
    std::uint32_t crc = 0;
    // Whether a ZIP64 extra field gives its sizes: its data descriptor's are then 64-bit.
    bool zip64Sizes = false;
};

constexpr std::uint16_t kZipDataDescriptorFlag = 1 << 3;
constexpr std::uint32_t kZipDataDescriptorSignature = 0x08074b50;

enum class ZipDirectoryFault { None, MissingRecord, RecordPastEnd };

struct ZipDirectoryWalk {
    ZipDirectoryFault fault = ZipDirectoryFault::None;
    std::uint64_t end = 0;  // where the last record read ended
};

// Hands each of `entries` records of a directory of `size` bytes (read from
// its start) to `visit`, and stops at the first one missing or running past
// the directory's end.
ZipDirectoryWalk WalkZipDirectory(const ZipRead& read, std::uint64_t size, std::uint64_t entries,
                                  const std::function<void(const ZipCentralRecord&)>& visit);

}  // namespace platform::deployment::local
