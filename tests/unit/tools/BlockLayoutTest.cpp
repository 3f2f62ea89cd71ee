// Each block of a deflated file stands on its own, as the packer writes it: the
// block map's Size of every block delimits compressed bytes that inflate alone
// to exactly that block, and the sizes add up to the entry's data, which a data
// descriptor follows.
#include <gtest/gtest.h>
#include <unistd.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/packaging/PackageWriter.h"

namespace {

namespace fs = std::filesystem;

struct ListedBlock {
    std::string hash;
    std::size_t size;
};

// The Block elements of one file in the writer's block map, in order.
std::vector<ListedBlock> BlocksOf(const std::string& blockMap, const std::string& name) {
    std::vector<ListedBlock> blocks;
    auto at = blockMap.find("<File Name=\"" + name + "\"");
    const auto end = blockMap.find("</File>", at);
    const auto value = [&](std::size_t from, const std::string& attribute) {
        const auto start = blockMap.find(attribute + "=\"", from) + attribute.size() + 2;
        return blockMap.substr(start, blockMap.find('"', start) - start);
    };
    while ((at = blockMap.find("<Block ", at + 1)) < end) {
        blocks.push_back({value(at, "Hash"), std::stoul(value(at, "Size"))});
    }
    return blocks;
}

// Raw deflate data inflated on its own; all of it must be used.
std::string Inflate(std::string_view compressed, std::size_t limit = 2 * 65536) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, -MAX_WBITS), Z_OK);
    std::string out(limit, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = inflate(&stream, Z_SYNC_FLUSH);
    EXPECT_TRUE(result == Z_OK || result == Z_STREAM_END) << result;
    out.resize(out.size() - stream.avail_out);
    inflateEnd(&stream);
    return out;
}

std::string Sha256Base64(std::string_view data) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr);
    std::string text(4 * ((length + 2) / 3) + 1, '\0');
    text.resize(static_cast<std::size_t>(
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), digest.data(), static_cast<int>(length))));
    return text;
}

std::string Entry(const std::string& archive, const std::string& name) {
    // The first local header of that name; the packer writes no extra field there.
    const auto at = archive.find(std::string("PK\x03\x04", 4));
    for (auto header = at; header != std::string::npos; header = archive.find(std::string("PK\x03\x04", 4), header + 1)) {
        if (archive.compare(header + 30, name.size(), name) == 0) {
            return archive.substr(header + 30 + name.size());
        }
    }
    return {};
}

TEST(BlockLayoutTest, EveryBlockInflatesAloneToItsHash) {
    const fs::path dir = fs::temp_directory_path() / ("blocks-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string data;
    for (std::size_t i = 0; data.size() < 4 * 65536 + 1000; ++i) {
        data += "line " + std::to_string(i * 7919 % 10007) + " of a text that deflate shrinks\n";
    }
    packaging::WritePackage(dir / "p.appx", {"Oru.Blocks", "CN=Oru", "1.0.0.0", "neutral", ""},
                            {{"data/text.txt", data, false}});
    std::ifstream in(dir / "p.appx", std::ios::binary);
    const std::string archive{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    fs::remove_all(dir);

    const std::string blockMap = Inflate(Entry(archive, "AppxBlockMap.xml"), 1 << 20);
    const auto blocks = BlocksOf(blockMap, "data\\text.txt");
    ASSERT_EQ(blocks.size(), 5u) << blockMap;
    EXPECT_NE(blockMap.find("<b4:FileHash Hash=\"" + Sha256Base64(data) + "\""), std::string::npos);

    const std::string entry = Entry(archive, "data/text.txt");
    std::string_view rest = entry;
    for (std::size_t block = 0; block < blocks.size(); ++block) {
        // A Size too large runs into the next block, one too small falls short of this one.
        const std::string plain = Inflate(rest.substr(0, blocks[block].size));
        EXPECT_TRUE(plain == data.substr(block * 65536, 65536)) << "block " << block;
        EXPECT_EQ(Sha256Base64(plain), blocks[block].hash) << "block " << block;
        rest.remove_prefix(blocks[block].size);
    }
    EXPECT_EQ(rest.substr(0, 4), std::string_view("PK\x07\x08", 4)) << "a data descriptor follows the data";
}

}  // namespace
