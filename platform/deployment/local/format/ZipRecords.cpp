#include "platform/deployment/local/format/ZipRecords.h"

namespace platform::deployment::local {
namespace {

constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint64_t kEscape32 = 0xFFFFFFFF;

// Fills in the sizes and the local header's offset, each from the record's
// own field or, where that escapes, from the ZIP64 extra field.
void ReadValues(const char* fixed, std::string_view extra, ZipCentralRecord& record) {
    std::optional<std::uint64_t>* const values[] = {&record.uncompressedSize, &record.compressedSize,
                                                    &record.localOffset};
    const std::size_t fields[] = {24, 20, 42};
    bool escapes = false;
    for (std::size_t i = 0; i < 3; ++i) {
        const std::uint64_t value = ZipLittle(fixed + fields[i], 4);
        if (value != kEscape32) {
            *values[i] = value;
        } else {
            escapes = true;
        }
    }
    while (escapes && extra.size() >= 4) {
        const auto id = static_cast<std::uint16_t>(ZipLittle(extra.data(), 2));
        const auto size = static_cast<std::size_t>(ZipLittle(extra.data() + 2, 2));
        if (size > extra.size() - 4) {
            break;
        }
        if (id == kZip64ExtraId) {
            // Only the fields whose own value escapes are present, in this order.
            std::size_t at = 4;
            for (std::size_t i = 0; i < 3; ++i) {
                if (ZipLittle(fixed + fields[i], 4) != kEscape32) {
                    continue;
                }
                if (at + 8 > 4 + size) {
                    break;
                }
                *values[i] = ZipLittle(extra.data() + at, 8);
                at += 8;
                record.zip64Sizes = record.zip64Sizes || i < 2;
            }
            return;
        }
        extra.remove_prefix(4 + size);
    }
}

}  // namespace

std::uint64_t ZipLittle(const void* at, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(at);
    std::uint64_t value = 0;
    for (std::size_t i = size; i > 0; --i) {
        value = (value << 8) | bytes[i - 1];
    }
    return value;
}

std::optional<ZipEndRecord> FindZipEndRecord(const ZipRead& read, std::uint64_t size, std::uint64_t searched) {
    if (searched < kZipEndSize || searched > size) {
        return std::nullopt;
    }
    std::string tail(static_cast<std::size_t>(searched), '\0');
    read(size - searched, tail.data(), tail.size());
    for (std::size_t at = tail.size() - kZipEndSize + 1; at-- > 0;) {
        if (ZipLittle(&tail[at], 4) == kZipEndSignature &&
            at + kZipEndSize + ZipLittle(&tail[at + 20], 2) == tail.size()) {
            return ZipEndRecord{size - searched + at, tail.substr(at)};
        }
    }
    return std::nullopt;
}

ZipDirectoryWalk WalkZipDirectory(const ZipRead& read, std::uint64_t size, std::uint64_t entries,
                                  const std::function<void(const ZipCentralRecord&)>& visit) {
    ZipDirectoryWalk walk;
    char fixed[kZipCentralSize];
    std::string variable;
    for (std::uint64_t index = 0; index < entries; ++index) {
        if (size - walk.end < kZipCentralSize) {
            walk.fault = ZipDirectoryFault::MissingRecord;
            return walk;
        }
        read(walk.end, fixed, kZipCentralSize);
        if (ZipLittle(fixed, 4) != kZipCentralSignature) {
            walk.fault = ZipDirectoryFault::MissingRecord;
            return walk;
        }
        const auto nameSize = static_cast<std::size_t>(ZipLittle(fixed + 28, 2));
        const auto extraSize = static_cast<std::size_t>(ZipLittle(fixed + 30, 2));
        const auto commentSize = static_cast<std::size_t>(ZipLittle(fixed + 32, 2));
        const std::uint64_t recordSize = kZipCentralSize + nameSize + extraSize + commentSize;
        if (size - walk.end < recordSize) {
            walk.fault = ZipDirectoryFault::RecordPastEnd;
            return walk;
        }
        variable.resize(nameSize + extraSize);
        read(walk.end + kZipCentralSize, variable.data(), variable.size());
        const std::string_view names(variable);
        ZipCentralRecord record;
        record.offset = walk.end;
        record.size = recordSize;
        record.name = names.substr(0, nameSize);
        record.flags = static_cast<std::uint16_t>(ZipLittle(fixed + 8, 2));
        record.crc = static_cast<std::uint32_t>(ZipLittle(fixed + 16, 4));
        ReadValues(fixed, names.substr(nameSize), record);
        visit(record);
        walk.end += recordSize;
    }
    return walk;
}

}  // namespace platform::deployment::local
