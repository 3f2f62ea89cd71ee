// Packages broken on purpose, put together from the package writer's steps the
// wrong way, for the tests and the fuzz seeds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/packaging/PackageWriter.h"

namespace test_support {

struct RawEntry {
    std::string name;  // written as is, without percent-encoding
    std::string bytes;
};

// Ways to break a package; all off by default.
struct PackageFaults {
    std::optional<std::string> corruptBlockOf;      // flip a byte of this file's block after hashing it
    std::optional<std::string> corruptDeflatedBlockOf;  // flip bytes amid this file's compressed block
    std::uint64_t corruptBlock = 0;                 // which block of either of those (from 0)
    std::optional<std::string> wrongCrcOf;          // the central directory gives this file another CRC-32
    bool deflateBlocksTogether = false;             // as an older packer: blocks that cannot be inflated apart
    std::optional<std::string> wrongSizeOf;         // block map gives this file's size plus one
    std::optional<std::string> omitFromBlockMap;    // this file is in the ZIP, not in the block map
    std::optional<std::string> blockMapOnlyFile;    // the block map lists this name, the ZIP has no such entry
    std::optional<std::string> duplicateOf;         // a second entry with exactly this file's name
    std::optional<std::string> wrongCompressedSizeOf;  // block map gives this file's first block one byte more
    std::optional<std::string> wrongFileHashOf;        // block map gives FileHashes, this file one of other data
    std::optional<std::string> bzip2Of;             // this file's entry claims bzip2 compression
    std::optional<std::string> wrongLfhSizeOf;      // block map gives this file's LfhSize plus one
    bool diskNumbersEscaped = false;                // signed, the end record's disk numbers stay 0xFFFF
    std::vector<RawEntry> extraEntries;             // added with raw names ("../evil", "/abs", ...), no content type
    std::vector<RawEntry> typedEntries;             // added with raw names and a content type (signature, catalog)
    std::optional<RawEntry> symlinkEntry;           // a Unix symlink entry: name, target
    std::optional<std::string> manifestOverride;    // these bytes as AppxManifest.xml (payload, hashed)
    std::optional<std::string> blockMapOverride;    // these bytes as AppxBlockMap.xml
    bool omitManifest = false;
    bool omitBlockMap = false;
    bool omitContentTypes = false;
    // Signs the package as written with the other faults (bzip2Of is applied after signing).
    std::optional<packaging::Signer> signer;
    // Left unsigned where the tests would sign it by default.
    bool leaveUnsigned = false;
};

// As packaging::WritePackage, with the faults; raises std::runtime_error when
// it cannot write the package or a fault cannot be applied.
void WriteBrokenPackage(const std::filesystem::path& packageFile, const packaging::Identity& identity,
                        const std::vector<packaging::PayloadFile>& payload, const PackageFaults& faults);

}  // namespace test_support
