#include "platform/deployment/local/format/SignedZip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/Error.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileError.h"
#include "platform/deployment/local/format/PartNames.h"

namespace platform::deployment::local {
namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kMaxComment = 0xFFFF;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
// Far above the central directory of any real package; it bounds what one is
// made to hold in memory.
constexpr std::uint64_t kCentralDirectoryLimit = 256 * 1024 * 1024;
constexpr std::size_t kHashPiece = 1024 * 1024;

[[noreturn]] void Inconsistent(const std::wstring& fault) {
    Throw(kCorruptPackage, L"Its ZIP structure " + fault + L".");
}

std::uint64_t Little(const char* at, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = size; i > 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(at[i - 1]);
    }
    return value;
}

void PutLittle(std::string& bytes, std::size_t at, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

struct EndRecords {
    std::uint64_t endOffset = 0;  // of the end record
    std::string end;              // with its comment
    std::optional<std::uint64_t> zip64Offset;
    std::string zip64;            // with its extensible data
    std::string locator;
    std::uint64_t entries = 0;
    std::uint64_t directorySize = 0;
    std::uint64_t directoryOffset = 0;
};

EndRecords ReadEndRecords(const PackageBytes& bytes) {
    const std::uint64_t size = bytes.Size();
    if (size < kEndSize) {
        Inconsistent(L"has no end record");
    }
    const std::uint64_t tailSize = std::min<std::uint64_t>(size, kEndSize + kMaxComment);
    std::string tail(static_cast<std::size_t>(tailSize), '\0');
    bytes.Read(size - tailSize, tail.data(), tail.size());
    EndRecords records;
    bool found = false;
    for (std::size_t at = tail.size() - kEndSize + 1; at-- > 0;) {
        if (Little(&tail[at], 4) == kEndSignature && at + kEndSize + Little(&tail[at + 20], 2) == tail.size()) {
            records.endOffset = size - tailSize + at;
            records.end = tail.substr(at);
            found = true;
            break;
        }
    }
    if (!found) {
        Inconsistent(L"has no end record");
    }
    const char* end = records.end.data();
    if (Little(end + 4, 2) != 0 || Little(end + 6, 2) != 0) {
        Inconsistent(L"spans several disks");
    }
    records.entries = Little(end + 10, 2);
    records.directorySize = Little(end + 12, 4);
    records.directoryOffset = Little(end + 16, 4);
    if (Little(end + 8, 2) != records.entries) {
        Inconsistent(L"gives two different entry counts");
    }

    if (records.endOffset >= kZip64LocatorSize) {
        records.locator.resize(kZip64LocatorSize);
        bytes.Read(records.endOffset - kZip64LocatorSize, records.locator.data(), kZip64LocatorSize);
        if (Little(records.locator.data(), 4) != kZip64LocatorSignature) {
            records.locator.clear();
        }
    }
    if (records.locator.empty()) {
        return records;
    }
    const char* locator = records.locator.data();
    const std::uint64_t zip64Offset = Little(locator + 8, 8);
    if (Little(locator + 4, 4) != 0 || Little(locator + 16, 4) != 1) {
        Inconsistent(L"spans several disks");
    }
    const std::uint64_t locatorOffset = records.endOffset - kZip64LocatorSize;
    if (zip64Offset > locatorOffset || locatorOffset - zip64Offset < kZip64EndSize ||
        locatorOffset - zip64Offset > kCentralDirectoryLimit) {
        Inconsistent(L"has a ZIP64 end record locator that points outside the file");
    }
    records.zip64.resize(static_cast<std::size_t>(locatorOffset - zip64Offset));
    bytes.Read(zip64Offset, records.zip64.data(), records.zip64.size());
    const char* zip64 = records.zip64.data();
    if (Little(zip64, 4) != kZip64EndSignature || Little(zip64 + 4, 8) != records.zip64.size() - 12) {
        Inconsistent(L"has no ZIP64 end record right before its locator");
    }
    if (Little(zip64 + 16, 4) != 0 || Little(zip64 + 20, 4) != 0) {
        Inconsistent(L"spans several disks");
    }
    if (Little(zip64 + 24, 8) != Little(zip64 + 32, 8)) {
        Inconsistent(L"gives two different entry counts");
    }
    const auto agrees = [](std::uint64_t narrow, std::uint64_t wide, std::uint64_t escape) {
        return narrow == escape || narrow == wide;
    };
    const std::uint64_t entries = Little(zip64 + 32, 8);
    const std::uint64_t directorySize = Little(zip64 + 40, 8);
    const std::uint64_t directoryOffset = Little(zip64 + 48, 8);
    if (!agrees(records.entries, entries, 0xFFFF) || !agrees(records.directorySize, directorySize, 0xFFFFFFFF) ||
        !agrees(records.directoryOffset, directoryOffset, 0xFFFFFFFF)) {
        Inconsistent(L"has an end record that disagrees with its ZIP64 end record");
    }
    records.zip64Offset = zip64Offset;
    records.entries = entries;
    records.directorySize = directorySize;
    records.directoryOffset = directoryOffset;
    return records;
}

// The local header offset of a central directory record, from its ZIP64 extra
// field when the record's own field says so.
std::uint64_t LocalOffsetOf(std::string_view record, std::size_t nameSize, std::size_t extraSize) {
    std::uint64_t offset = Little(record.data() + 42, 4);
    if (offset != 0xFFFFFFFF) {
        return offset;
    }
    std::string_view extra = record.substr(kCentralSize + nameSize, extraSize);
    while (extra.size() >= 4) {
        const auto id = static_cast<std::uint16_t>(Little(extra.data(), 2));
        const auto size = static_cast<std::size_t>(Little(extra.data() + 2, 2));
        if (size > extra.size() - 4) {
            break;
        }
        if (id == kZip64ExtraId) {
            // Only the fields whose own value escapes are present, in this order.
            std::size_t at = 4;
            at += Little(record.data() + 24, 4) == 0xFFFFFFFF ? 8 : 0;
            at += Little(record.data() + 20, 4) == 0xFFFFFFFF ? 8 : 0;
            if (at + 8 > 4 + size) {
                break;
            }
            return Little(extra.data() + at, 8);
        }
        extra.remove_prefix(4 + size);
    }
    Inconsistent(L"has a central directory record without its ZIP64 local header offset");
}

}  // namespace

PackageBytes::PackageBytes(const std::filesystem::path& file, const std::optional<FileRange>& range,
                           ArrivingFile* arriving)
    : m_arriving(arriving), m_fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (m_fd < 0) {
        ThrowFileError(errno, L"Cannot open the package " + PathText(file));
    }
    struct stat status {};
    if (::fstat(m_fd, &status) != 0) {
        const int error = errno;
        ::close(m_fd);
        ThrowFileError(error, L"Cannot read the package " + PathText(file));
    }
    const auto fileSize = static_cast<std::uint64_t>(status.st_size);
    m_base = range ? range->offset : 0;
    m_size = range ? range->size : fileSize;
    if (m_base > fileSize || m_size > fileSize - m_base) {
        ::close(m_fd);
        Throw(kCorruptPackage, L"The package's range lies beyond the end of " + PathText(file) + L".");
    }
}

PackageBytes::~PackageBytes() { ::close(m_fd); }

void PackageBytes::Read(std::uint64_t offset, void* buffer, std::size_t size) const {
    if (offset > m_size || size > m_size - offset) {
        Inconsistent(L"points beyond the end of the file");
    }
    if (m_arriving != nullptr && !m_arriving->WaitFor(m_base + offset, size)) {
        Throw(kCorruptPackage, L"The package's bytes did not all arrive.");
    }
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t read = ::pread(m_fd, out + done, size - done, static_cast<off_t>(m_base + offset + done));
        if (read < 0 && errno == EINTR) {
            continue;
        }
        if (read < 0) {
            ThrowFileError(errno, L"Cannot read the package");
        }
        if (read == 0) {
            Inconsistent(L"points beyond the end of the file");
        }
        done += static_cast<std::size_t>(read);
    }
}

void PackageBytes::Hash(std::uint64_t offset, std::uint64_t size, Hasher& hasher) const {
    std::vector<char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(size, kHashPiece)));
    while (size > 0) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(size, buffer.size()));
        Read(offset, buffer.data(), piece);
        hasher.Update(buffer.data(), piece);
        offset += piece;
        size -= piece;
    }
}

std::optional<SignedZipLayout> ReadSignedZipLayout(const PackageBytes& bytes) {
    EndRecords records = ReadEndRecords(bytes);
    const std::uint64_t directoryEnd = records.zip64Offset ? *records.zip64Offset : records.endOffset -
                                                                                       records.locator.size();
    if (records.directoryOffset > directoryEnd || directoryEnd - records.directoryOffset != records.directorySize) {
        Inconsistent(L"has a central directory that does not end where its end records begin");
    }
    if (records.directorySize > kCentralDirectoryLimit) {
        Inconsistent(L"has a central directory too large to read");
    }
    std::string directory(static_cast<std::size_t>(records.directorySize), '\0');
    bytes.Read(records.directoryOffset, directory.data(), directory.size());

    std::optional<SignedZipLayout> layout;
    std::uint64_t lastOtherOffset = 0;
    bool others = false;
    std::size_t at = 0;
    for (std::uint64_t index = 0; index < records.entries; ++index) {
        if (directory.size() - at < kCentralSize || Little(&directory[at], 4) != kCentralSignature) {
            Inconsistent(L"has fewer central directory records than its end record counts");
        }
        const auto nameSize = static_cast<std::size_t>(Little(&directory[at + 28], 2));
        const auto extraSize = static_cast<std::size_t>(Little(&directory[at + 30], 2));
        const auto commentSize = static_cast<std::size_t>(Little(&directory[at + 32], 2));
        const std::size_t recordSize = kCentralSize + nameSize + extraSize + commentSize;
        if (directory.size() - at < recordSize) {
            Inconsistent(L"has a central directory record that runs past the directory's end");
        }
        const std::string_view record(&directory[at], recordSize);
        const std::uint64_t localOffset = LocalOffsetOf(record, nameSize, extraSize);
        if (localOffset >= records.directoryOffset) {
            Inconsistent(L"has an entry whose local header lies beyond the central directory");
        }
        if (record.substr(kCentralSize, nameSize) == kSignatureName) {
            if (layout) {
                Inconsistent(L"has two signature entries");
            }
            layout = SignedZipLayout{localOffset, records.directoryOffset, records.directorySize, at, recordSize, {}};
        } else {
            lastOtherOffset = std::max(lastOtherOffset, localOffset);
            others = true;
        }
        at += recordSize;
    }
    if (at != directory.size()) {
        Inconsistent(L"has more central directory records than its end record counts");
    }
    if (!layout) {
        return std::nullopt;
    }
    if (others && lastOtherOffset >= layout->signedPrefix) {
        Inconsistent(L"has an entry after the signature");
    }

    // The end records as they would be for the same archive without the signature entry.
    const std::uint64_t entries = records.entries - 1;
    const std::uint64_t directorySize = records.directorySize - layout->signatureRecordSize;
    const std::uint64_t directoryOffset = layout->signedPrefix;
    const auto narrow = [](std::uint64_t value, std::uint64_t original, std::uint64_t escape) {
        return original == escape ? escape : std::min(value, escape);
    };
    if (records.zip64Offset) {
        PutLittle(records.zip64, 24, entries, 8);
        PutLittle(records.zip64, 32, entries, 8);
        PutLittle(records.zip64, 40, directorySize, 8);
        PutLittle(records.zip64, 48, directoryOffset, 8);
        PutLittle(records.locator, 8, directoryOffset + directorySize, 8);
    }
    char* end = records.end.data();
    const std::uint64_t endEntries = narrow(entries, Little(end + 10, 2), 0xFFFF);
    PutLittle(records.end, 8, endEntries, 2);
    PutLittle(records.end, 10, endEntries, 2);
    PutLittle(records.end, 12, narrow(directorySize, Little(end + 12, 4), 0xFFFFFFFF), 4);
    PutLittle(records.end, 16, narrow(directoryOffset, Little(end + 16, 4), 0xFFFFFFFF), 4);
    layout->endRecords = records.zip64 + records.locator + records.end;
    return layout;
}

Digest ComputePrefixDigest(const PackageBytes& bytes, const SignedZipLayout& layout, HashMethod method) {
    Hasher hasher(method);
    bytes.Hash(0, layout.signedPrefix, hasher);
    return hasher.Finish();
}

Digest ComputeDirectoryDigest(const PackageBytes& bytes, const SignedZipLayout& layout, HashMethod method) {
    Hasher hasher(method);
    bytes.Hash(layout.centralDirectoryOffset, layout.signatureRecordOffset, hasher);
    const std::uint64_t after = layout.signatureRecordOffset + layout.signatureRecordSize;
    bytes.Hash(layout.centralDirectoryOffset + after, layout.centralDirectorySize - after, hasher);
    hasher.Update(layout.endRecords.data(), layout.endRecords.size());
    return hasher.Finish();
}

SignedZipDigests ComputeSignedZipDigests(const PackageBytes& bytes, const SignedZipLayout& layout, HashMethod method) {
    return SignedZipDigests{ComputePrefixDigest(bytes, layout, method), ComputeDirectoryDigest(bytes, layout, method)};
}

}  // namespace platform::deployment::local
