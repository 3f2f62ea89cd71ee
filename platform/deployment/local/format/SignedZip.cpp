#include "platform/deployment/local/format/SignedZip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <vector>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileError.h"
#include "platform/deployment/local/format/PartNames.h"
#include "platform/deployment/local/format/ZipRecords.h"

namespace platform::deployment::local {
namespace {

// Far above the central directory of any real package; it bounds what one is
// made to hold in memory.
constexpr std::uint64_t kCentralDirectoryLimit = 256 * 1024 * 1024;
constexpr std::size_t kHashPiece = 1024 * 1024;

[[noreturn]] void Inconsistent(const std::wstring& fault) {
    Throw(kCorruptPackage, L"Its ZIP structure " + fault + L".");
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
    if (size < kZipEndSize) {
        Inconsistent(L"has no end record");
    }
    const std::uint64_t tailSize = std::min<std::uint64_t>(size, kZipEndSize + kZipMaxComment);
    const auto found = FindZipEndRecord([&](std::uint64_t offset, void* buffer, std::size_t count) {
        bytes.Read(offset, buffer, count);
    }, size, tailSize);
    if (!found) {
        Inconsistent(L"has no end record");
    }
    EndRecords records;
    records.endOffset = found->offset;
    records.end = found->bytes;
    const char* end = records.end.data();
    // Packers write the disk numbers as 0xFFFF beside a ZIP64 end record that
    // gives them: the locator must then be there and say disk 0.
    const std::uint64_t disk = ZipLittle(end + 4, 2);
    const std::uint64_t directoryDisk = ZipLittle(end + 6, 2);
    const bool disksEscape = disk == 0xFFFF && directoryDisk == 0xFFFF;
    if (!disksEscape && (disk != 0 || directoryDisk != 0)) {
        Inconsistent(L"spans several disks");
    }
    records.entries = ZipLittle(end + 10, 2);
    records.directorySize = ZipLittle(end + 12, 4);
    records.directoryOffset = ZipLittle(end + 16, 4);
    if (ZipLittle(end + 8, 2) != records.entries) {
        Inconsistent(L"gives two different entry counts");
    }

    if (records.endOffset >= kZip64LocatorSize) {
        records.locator.resize(kZip64LocatorSize);
        bytes.Read(records.endOffset - kZip64LocatorSize, records.locator.data(), kZip64LocatorSize);
        if (ZipLittle(records.locator.data(), 4) != kZip64LocatorSignature) {
            records.locator.clear();
        }
    }
    if (records.locator.empty()) {
        if (disksEscape) {
            Inconsistent(L"spans several disks");
        }
        return records;
    }
    const char* locator = records.locator.data();
    const std::uint64_t zip64Offset = ZipLittle(locator + 8, 8);
    if (ZipLittle(locator + 4, 4) != 0 || ZipLittle(locator + 16, 4) != 1) {
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
    if (ZipLittle(zip64, 4) != kZip64EndSignature || ZipLittle(zip64 + 4, 8) != records.zip64.size() - 12) {
        Inconsistent(L"has no ZIP64 end record right before its locator");
    }
    if (ZipLittle(zip64 + 16, 4) != 0 || ZipLittle(zip64 + 20, 4) != 0) {
        Inconsistent(L"spans several disks");
    }
    if (ZipLittle(zip64 + 24, 8) != ZipLittle(zip64 + 32, 8)) {
        Inconsistent(L"gives two different entry counts");
    }
    const auto agrees = [](std::uint64_t narrow, std::uint64_t wide, std::uint64_t escape) {
        return narrow == escape || narrow == wide;
    };
    const std::uint64_t entries = ZipLittle(zip64 + 32, 8);
    const std::uint64_t directorySize = ZipLittle(zip64 + 40, 8);
    const std::uint64_t directoryOffset = ZipLittle(zip64 + 48, 8);
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

namespace {

// The end records and the central directory they describe, read whole.
struct Directory {
    EndRecords records;
    std::string bytes;
};

Directory ReadDirectory(const PackageBytes& bytes) {
    Directory directory{ReadEndRecords(bytes), {}};
    const EndRecords& records = directory.records;
    const std::uint64_t directoryEnd = records.zip64Offset ? *records.zip64Offset : records.endOffset -
                                                                                       records.locator.size();
    if (records.directoryOffset > directoryEnd || directoryEnd - records.directoryOffset != records.directorySize) {
        Inconsistent(L"has a central directory that does not end where its end records begin");
    }
    if (records.directorySize > kCentralDirectoryLimit) {
        Inconsistent(L"has a central directory too large to read");
    }
    directory.bytes.resize(static_cast<std::size_t>(records.directorySize));
    bytes.Read(records.directoryOffset, directory.bytes.data(), directory.bytes.size());
    return directory;
}

// Hands every record to `visit`; raises when the records are not exactly those the end records count.
void WalkDirectory(const Directory& directory, const std::function<void(const ZipCentralRecord&)>& visit) {
    const std::string& bytes = directory.bytes;
    const ZipDirectoryWalk walk = WalkZipDirectory(
        [&](std::uint64_t offset, void* buffer, std::size_t count) { bytes.copy(static_cast<char*>(buffer), count, offset); },
        bytes.size(), directory.records.entries, visit);
    if (walk.fault == ZipDirectoryFault::MissingRecord) {
        Inconsistent(L"has fewer central directory records than its end record counts");
    }
    if (walk.fault == ZipDirectoryFault::RecordPastEnd) {
        Inconsistent(L"has a central directory record that runs past the directory's end");
    }
    if (walk.end != bytes.size()) {
        Inconsistent(L"has more central directory records than its end record counts");
    }
}

}  // namespace

std::optional<SignedZipLayout> ReadSignedZipLayout(const PackageBytes& bytes) {
    Directory directory = ReadDirectory(bytes);
    EndRecords& records = directory.records;
    std::optional<SignedZipLayout> layout;
    std::uint64_t lastOtherOffset = 0;
    bool others = false;
    WalkDirectory(directory, [&](const ZipCentralRecord& record) {
            if (!record.localOffset) {
                Inconsistent(L"has a central directory record without its ZIP64 local header offset");
            }
            const std::uint64_t localOffset = *record.localOffset;
            if (localOffset >= records.directoryOffset) {
                Inconsistent(L"has an entry whose local header lies beyond the central directory");
            }
            if (record.name == kSignatureName) {
                if (layout) {
                    Inconsistent(L"has two signature entries");
                }
                layout = SignedZipLayout{localOffset, records.directoryOffset, records.directorySize, record.offset,
                                         record.size, {}};
            } else {
                lastOtherOffset = std::max(lastOtherOffset, localOffset);
                others = true;
            }
        });
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
    const std::uint64_t endEntries = narrow(entries, ZipLittle(end + 10, 2), 0xFFFF);
    PutLittle(records.end, 8, endEntries, 2);
    PutLittle(records.end, 10, endEntries, 2);
    PutLittle(records.end, 12, narrow(directorySize, ZipLittle(end + 12, 4), 0xFFFFFFFF), 4);
    PutLittle(records.end, 16, narrow(directoryOffset, ZipLittle(end + 16, 4), 0xFFFFFFFF), 4);
    layout->endRecords = records.zip64 + records.locator + records.end;
    return layout;
}

void CheckLocalRecords(const PackageBytes& bytes,
                       const std::function<void(std::uint64_t index, std::uint64_t headerOffset, std::uint64_t headerSize)>& visit) {
    const Directory directory = ReadDirectory(bytes);
    const std::uint64_t dataEnd = directory.records.directoryOffset;
    std::uint64_t index = 0;
    WalkDirectory(directory, [&](const ZipCentralRecord& record) {
        const std::wstring name = L"\"" + FromUtf8Lossy(record.name) + L"\"";
        if (!record.localOffset || !record.compressedSize || !record.uncompressedSize) {
            Inconsistent(L"has a central directory record of " + name + L" without its ZIP64 sizes and offset");
        }
        const std::uint64_t header = *record.localOffset;
        char fixed[kZipLocalSize];
        if (header > dataEnd || dataEnd - header < sizeof fixed) {
            Inconsistent(L"has an entry " + name + L" whose local header lies beyond the central directory");
        }
        bytes.Read(header, fixed, sizeof fixed);
        if (ZipLittle(fixed, 4) != kZipLocalSignature) {
            Inconsistent(L"has no local header where the central directory puts " + name);
        }
        const std::uint64_t headerSize = sizeof fixed + ZipLittle(fixed + 26, 2) + ZipLittle(fixed + 28, 2);
        if ((record.flags & kZipDataDescriptorFlag) != 0) {
            // The signature before it is optional: either reading may be meant.
            const std::uint64_t at = header + headerSize + *record.compressedSize;
            const std::size_t width = record.zip64Sizes ? 8 : 4;
            char descriptor[4 + 4 + 8 + 8];
            const std::size_t size = 8 + 2 * width;
            const auto matches = [&](const char* fields) {
                return ZipLittle(fields, 4) == record.crc && ZipLittle(fields + 4, width) == *record.compressedSize &&
                       ZipLittle(fields + 4 + width, width) == *record.uncompressedSize;
            };
            bool found = false;
            if (at <= dataEnd && dataEnd - at >= size - 4) {
                bytes.Read(at, descriptor, std::min<std::uint64_t>(size, dataEnd - at));
                found = matches(descriptor) ||
                        (dataEnd - at >= size && ZipLittle(descriptor, 4) == kZipDataDescriptorSignature &&
                         matches(descriptor + 4));
            }
            if (!found) {
                Throw(kZipDescriptorMismatch, L"Its ZIP structure has an entry " + name +
                                                  L" without a data descriptor that gives its CRC-32 and " +
                                                  (width == 8 ? L"64-bit" : L"32-bit") +
                                                  L" sizes as the central directory does.");
            }
        }
        visit(index++, header, headerSize);
    });
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
