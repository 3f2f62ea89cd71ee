// The package block map (AppxBlockMap.xml): size and per-64-KiB SHA-256 of every
// payload file.
#pragma once

#include <array>
#include <cstdint>
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

// Reads a block map. Raises 0x80080205 with a text saying what is wrong for
// malformed XML, another namespace or hash method, a file without a valid
// name, size or local header size, a block count other than ceil(size / 64 KiB),
// a hash that is not base64 of 32 bytes, or two files of the same name (also
// when they differ only in ASCII case).
// Parses inside `bytes`, which it takes: a block map grows with the package.
std::vector<BlockMapFile> ReadBlockMap(std::string bytes);

}  // namespace platform::deployment::local
