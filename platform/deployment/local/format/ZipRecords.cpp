#include "platform/deployment/local/format/ZipRecords.h"

namespace platform::deployment::local {
namespace {

constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint64_t kEscape32 = 0xFFFFFFFF;

std::optional<std::uint64_t> LocalOffsetOf(const char* fixed, std::string_view extra) {
    const std::uint64_t offset = ZipLittle(fixed + 42, 4);
    if (offset != kEscape32) {
        return offset;
    }
    while (extra.size() >= 4) {
        const auto id = static_cast<std::uint16_t>(ZipLittle(extra.data(), 2));
        const auto size = static_cast<std::size_t>(ZipLittle(extra.data() + 2, 2));
        if (size > extra.size() - 4) {
            break;
        }
        if (id == kZip64ExtraId) {
            // Only the fields whose own value escapes are present, in this order.
            std::size_t at = 4;
            at += ZipLittle(fixed + 24, 4) == kEscape32 ? 8 : 0;
            at += ZipLittle(fixed + 20, 4) == kEscape32 ? 8 : 0;
            if (at + 8 > 4 + size) {
                break;
            }
            return ZipLittle(extra.data() + at, 8);
        }
        extra.remove_prefix(4 + size);
    }
    return std::nullopt;
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
        visit(ZipCentralRecord{walk.end, recordSize, names.substr(0, nameSize),
                               LocalOffsetOf(fixed, names.substr(nameSize))});
        walk.end += recordSize;
    }
    return walk;
}

}  // namespace platform::deployment::local
