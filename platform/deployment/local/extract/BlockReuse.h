// Where each block of a package's payload comes from when an installed version
// of the package already has blocks of the same hash and size: those are read
// from the installed files, and only the others from the package, which then
// need not be downloaded whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/deployment/local/extract/BlockPipeline.h"
#include "platform/deployment/local/format/Hash.h"
#include "platform/deployment/local/format/PackageArchive.h"
#include "platform/deployment/local/format/SignedZip.h"

namespace platform::deployment::local {

struct BlockSource {
    static constexpr std::uint32_t kPackage = 0xFFFFFFFF;
    // An index into BlockReuse::InstalledFiles, or the package.
    std::uint32_t installedFile = kPackage;
    // Where the block's bytes lie: as they are in the installed file, as the
    // package holds them (compressed or stored) in the package file.
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
};

class BlockReuse {
public:
    using Part = std::pair<std::uint64_t, std::uint64_t>;  // [first, end) of the package file

    // None when there is nothing to gain or the package does not lend itself
    // to it: the installed block map is missing, unreadable or of another hash
    // method, no block is the same, or a block to be read from the package
    // cannot be cut from it (its file was not deflated block by block). With
    // `arriving`, the local headers of the files that have blocks to read are
    // fetched first; none when they do not match the directory.
    static std::optional<BlockReuse> Plan(const PackageArchive& package, const PackageBytes& bytes,
                                          std::span<const PayloadFile> payload, HashMethod method,
                                          const std::filesystem::path& installed, ArrivingFile* arriving);

    const BlockSource& Source(std::size_t file, std::uint64_t unit) const { return m_sources[m_firstUnit[file] + unit]; }
    // All of a payload file's entry in the package file, from its local header
    // to the next entry's: what redoing the file from the package reads.
    const Part& EntryPart(std::size_t file) const { return m_entryParts[file]; }
    // Whether any block of a payload file is read from the package.
    bool ReadsPackage(std::size_t file) const { return m_readsPackage[file]; }
    const std::filesystem::path& InstalledFile(std::uint32_t index) const { return m_installedFiles[index]; }
    // The parts of the package file that the blocks not reused lie in, neighbours merged.
    const std::vector<Part>& PackageParts() const noexcept { return m_parts; }
    std::uint64_t ReusedBytes() const noexcept { return m_reusedBytes; }

private:
    std::vector<std::uint64_t> m_firstUnit;  // per payload file
    std::vector<BlockSource> m_sources;      // per unit (ParallelBlockPipeline::UnitCount)
    std::vector<bool> m_readsPackage;        // per payload file
    std::vector<Part> m_entryParts;          // per payload file
    std::vector<std::filesystem::path> m_installedFiles;
    std::vector<Part> m_parts;
    std::uint64_t m_reusedBytes = 0;
};

}  // namespace platform::deployment::local
