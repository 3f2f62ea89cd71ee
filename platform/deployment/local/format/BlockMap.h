// The package block map (AppxBlockMap.xml): size and per-64-KiB SHA-256 of every
// payload file.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::deployment::local {

constexpr std::uint64_t kBlockSize = 65536;

struct BlockMapFile {
    std::string name;  // UTF-8, '/' separators (the block map writes '\')
    std::uint64_t size = 0;
    std::uint32_t lfhSize = 0;  // read, not checked
    std::vector<std::array<std::uint8_t, 32>> blockHashes;
};

// Reads a block map as it arrives, in pieces of any size: the document grows
// with the package (about 1.2 MiB per GiB of payload) and only its hashes are
// kept. Raises 0x80080205 with a text saying what is wrong for malformed XML
// or a document type declaration, another namespace or hash method, a file
// without a valid name, size or local header size, a block count other than
// ceil(size / 64 KiB), a hash that is not base64 of 32 bytes, or two files of
// the same name (also when they differ only in ASCII case).
class BlockMapReader {
public:
    BlockMapReader();
    ~BlockMapReader();
    BlockMapReader(const BlockMapReader&) = delete;
    BlockMapReader& operator=(const BlockMapReader&) = delete;

    void Feed(std::string_view bytes);
    // The files, once the whole document has been fed.
    std::vector<BlockMapFile> Finish();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Reads a whole block map at once.
std::vector<BlockMapFile> ReadBlockMap(std::string_view bytes);

}  // namespace platform::deployment::local
