// The package block map (AppxBlockMap.xml): size, the hash of every 64 KiB
// block and optionally of the whole file, for every payload file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/deployment/local/format/Hash.h"
#include "platform/deployment/local/format/NameArena.h"

namespace platform::deployment::local {

constexpr std::uint64_t kBlockSize = 65536;
// Far above what real packages carry (about 1.2 MiB per GiB of payload, so
// some 50 GiB); it keeps a hostile block map from being read without end.
constexpr std::uint64_t kBlockMapLimit = 64 * 1024 * 1024;

struct BlockMapFile {
    std::string_view name;  // UTF-8, '/' separators (the block map writes '\'); kept by BlockMapFiles
    std::uint64_t size = 0;
    std::uint32_t lfhSize = 0;  // the local header's size, with its name and extra field
    // Each block's digest in turn, DigestSize(method) bytes each: a block map
    // may list millions of blocks.
    std::vector<std::uint8_t> blockHashes;
    std::optional<Digest> fileHash;  // the 2021 namespace's FileHash
    // The sum of the blocks' compressed Size; none when the file is stored.
    std::optional<std::uint64_t> compressedSize;
    // Each block's compressed Size in turn, when given: where a packer that
    // deflates every block on its own lets the blocks be inflated apart.
    std::vector<std::uint32_t> blockSizes;

    std::uint64_t BlockCount() const noexcept { return (size + kBlockSize - 1) / kBlockSize; }
    // The uncompressed size of a block: 64 KiB but for the last.
    std::uint64_t BlockSize(std::uint64_t block) const noexcept {
        return std::min(kBlockSize, size - block * kBlockSize);
    }
    std::span<const std::uint8_t> BlockHash(std::uint64_t block, HashMethod method) const {
        const std::size_t length = DigestSize(method);
        return std::span(blockHashes).subspan(static_cast<std::size_t>(block) * length, length);
    }
};

// The files of a block map in document order, their names kept together: a
// block map may list hundreds of thousands of files.
class BlockMapFiles {
public:
    BlockMapFiles() = default;
    BlockMapFiles(const BlockMapFiles& other);
    BlockMapFiles& operator=(const BlockMapFiles& other);
    BlockMapFiles(BlockMapFiles&&) noexcept = default;
    BlockMapFiles& operator=(BlockMapFiles&&) noexcept = default;

    void Reserve(std::size_t count) { m_files.reserve(count); }
    // Adds a file with a copy of its name.
    void Add(BlockMapFile file);

    std::size_t size() const noexcept { return m_files.size(); }
    bool empty() const noexcept { return m_files.empty(); }
    const BlockMapFile& operator[](std::size_t index) const { return m_files[index]; }
    std::vector<BlockMapFile>::const_iterator begin() const noexcept { return m_files.begin(); }
    std::vector<BlockMapFile>::const_iterator end() const noexcept { return m_files.end(); }

private:
    std::vector<BlockMapFile> m_files;
    NameArena m_names;
};

struct BlockMapDocument {
    HashMethod method = HashMethod::Sha256;
    BlockMapFiles files;
};

// Reads a block map as it arrives, in pieces of any size: the document grows
// with the package (about 1.2 MiB per GiB of payload) and only its hashes are
// kept. Elements and attributes of the namespaces that the root lists in
// IgnorableNamespaces are skipped unless the reader knows them. Raises
// 0x80080205 with a text saying what is wrong for malformed XML or a document
// type declaration, another root namespace, a hash method other than SHA-256,
// SHA-384 or SHA-512, an element or attribute of a namespace that it neither
// knows nor may ignore, a file without a valid name, size or local header
// size, a block count other than ceil(size / 64 KiB), a hash that is not the
// base64 of one digest, a block's compressed Size that is not a number or
// given for some blocks of a file and not for others, more
// than one FileHash in a file, or two files of the same name (also when they
// differ only in ASCII case).
class BlockMapReader {
public:
    BlockMapReader();
    ~BlockMapReader();
    BlockMapReader(const BlockMapReader&) = delete;
    BlockMapReader& operator=(const BlockMapReader&) = delete;

    // Room for this many files (a hint, such as the package's entry count), so
    // that the records are not moved and doubled as they grow.
    void ExpectFiles(std::size_t count);
    void Feed(std::string_view bytes);
    // The document, once all of it has been fed.
    BlockMapDocument Finish();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Reads a whole block map at once.
BlockMapDocument ReadBlockMap(std::string_view bytes);

}  // namespace platform::deployment::local
