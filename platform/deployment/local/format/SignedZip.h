// The bytes of a package's ZIP structure that its signature covers, read from
// the file itself: libzip does not tell where its records lie.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/deployment/local/format/Hash.h"
#include "platform/deployment/local/format/PackageArchive.h"

namespace platform::deployment::local {

// Where the signature entry lies, and the end records as they would be
// without it.
struct SignedZipLayout {
    // Everything before the signature's local header.
    std::uint64_t signedPrefix = 0;
    std::uint64_t centralDirectoryOffset = 0;
    std::uint64_t centralDirectorySize = 0;
    // The signature's record within the central directory (relative to it).
    std::uint64_t signatureRecordOffset = 0;
    std::uint64_t signatureRecordSize = 0;
    // The ZIP64 end record, its locator and the end record, already rewritten.
    std::string endRecords;
};

// The digests of the package file (AXPC) and of the central directory with
// its end records (AXCD).
struct SignedZipDigests {
    Digest package;
    Digest centralDirectory;
};

// A package file, or the part of one that holds a package, read in place.
class PackageBytes {
public:
    // Raises 0x80004005 (or the file's error) when it cannot be opened. Reads
    // of a file still `arriving` wait for their bytes.
    PackageBytes(const std::filesystem::path& file, const std::optional<FileRange>& range,
                 ArrivingFile* arriving = nullptr);
    ~PackageBytes();
    PackageBytes(const PackageBytes&) = delete;
    PackageBytes& operator=(const PackageBytes&) = delete;

    std::uint64_t Size() const noexcept { return m_size; }
    // Exactly `size` bytes at `offset`; 0x80080206 when they are not all there.
    void Read(std::uint64_t offset, void* buffer, std::size_t size) const;
    // Hashes `size` bytes from `offset` in large pieces.
    void Hash(std::uint64_t offset, std::uint64_t size, Hasher& hasher) const;

private:
    ArrivingFile* m_arriving;
    int m_fd = -1;
    std::uint64_t m_base = 0;
    std::uint64_t m_size = 0;
};

// Reads the end records and the central directory. Raises 0x80080206, with a
// text saying what is wrong, for records that are missing, truncated, point
// outside the file or disagree with each other, an archive on several disks, a
// repeated signature entry, or an entry whose data follows the signature's.
// Without a signature entry it returns nothing.
std::optional<SignedZipLayout> ReadSignedZipLayout(const PackageBytes& bytes);

// Reads each entry's local header and data descriptor where the central
// directory puts them, and hands `visit` the entry's index (in directory order),
// its local header's offset and that header's size with name and extra field. Raises 0x80080206 for
// records that cannot be read (as ReadSignedZipLayout), and 0x80511007 for a
// data descriptor that is missing, 32-bit where the directory gives the sizes
// in a ZIP64 field, or gives another CRC-32 or size than the directory.
void CheckLocalRecords(const PackageBytes& bytes,
                       const std::function<void(std::uint64_t index, std::uint64_t headerOffset, std::uint64_t headerSize)>& visit);

SignedZipDigests ComputeSignedZipDigests(const PackageBytes& bytes, const SignedZipLayout& layout, HashMethod method);
// Its two halves: AXPC needs every byte before the signature, AXCD only the
// directory and the end records.
Digest ComputePrefixDigest(const PackageBytes& bytes, const SignedZipLayout& layout, HashMethod method);
Digest ComputeDirectoryDigest(const PackageBytes& bytes, const SignedZipLayout& layout, HashMethod method);

}  // namespace platform::deployment::local
