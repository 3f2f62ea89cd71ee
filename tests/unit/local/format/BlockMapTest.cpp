// The block map reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/deployment/local/format/BlockMap.h"
#include "tests/support/Raised.h"

namespace platform::deployment::local {
namespace {

using test_support::CaptureFailure;
using test_support::TextOf;

constexpr hresult kInvalidBlockMap = ToHresult(0x80080205);

struct BadXmlCase {
    std::string name;
    std::string xml;
    std::wstring fault;  // part of the error text
};

// SHA-256 of nothing and of "abc", base64.
constexpr const char* kHashA = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";
constexpr const char* kHashB = "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=";

std::string BlockMap(const std::string& files, const std::string& attributes =
                                                    R"(xmlns="http://schemas.microsoft.com/appx/2010/blockmap" )"
                                                    R"(HashMethod="http://www.w3.org/2001/04/xmlenc#sha256")") {
    return "<BlockMap " + attributes + ">" + files + "</BlockMap>";
}

std::string Blocks(int count) {
    std::string blocks;
    for (int i = 0; i < count; ++i) {
        blocks += std::string(R"(<Block Hash=")") + (i % 2 ? kHashB : kHashA) + R"("/>)";
    }
    return blocks;
}

TEST(BlockMapTest, ReadsFilesSizesAndHashes) {
    const auto files = ReadBlockMap(BlockMap(
        R"(<File Name="AppxManifest.xml" Size="10" LfhSize="46">)" + Blocks(1) + "</File>" +
        R"(<File Name="Assets\Deep\Big.bin" Size="131073" LfhSize="49">)" + Blocks(3) + "</File>" +
        R"(<File Name="Empty.txt" Size="0" LfhSize="39"/>)" +
        R"(<File Name="Exact.bin" Size="65536" LfhSize="39">)" + Blocks(1) + "</File>")).files;
    ASSERT_EQ(files.size(), 4u);
    EXPECT_EQ(files[1].name, "Assets/Deep/Big.bin");
    EXPECT_EQ(files[1].size, 131073u);
    EXPECT_EQ(files[1].lfhSize, 49u);
    ASSERT_EQ(files[1].blockHashes.size(), 3u * 32);
    EXPECT_EQ(files[1].BlockHash(1, HashMethod::Sha256)[0], 0xBA);  // "ungW..." decodes to ba 78 16 ...
    EXPECT_EQ(files[1].BlockHash(1, HashMethod::Sha256)[31], 0xAD);
    EXPECT_EQ(files[1].BlockHash(0, HashMethod::Sha256)[0], 0xE3);  // "47DE..." decodes to e3 b0 c4 ...
    EXPECT_FALSE(files[1].fileHash.has_value());
    EXPECT_TRUE(files[2].blockHashes.empty());
    EXPECT_EQ(files[3].blockHashes.size(), 32u);
}

constexpr const char* k2021 = R"(xmlns:b4="http://schemas.microsoft.com/appx/2021/blockmap" )";

// Base64 of a digest of `size` bytes, each of them `byte`.
std::string DigestText(std::size_t size, char byte) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string bytes(size, byte);
    std::string text;
    for (std::size_t at = 0; at < size; at += 3) {
        const std::size_t count = std::min<std::size_t>(3, size - at);
        std::uint32_t group = 0;
        for (std::size_t i = 0; i < 3; ++i) {
            group = (group << 8) | (i < count ? static_cast<unsigned char>(bytes[at + i]) : 0u);
        }
        for (std::size_t i = 0; i < 4; ++i) {
            text += i <= count ? kAlphabet[(group >> (18 - 6 * i)) & 0x3F] : '=';
        }
    }
    return text;
}

struct MethodCase {
    const char* uri;
    HashMethod method;
    std::size_t size;
};

class BlockMapMethodTest : public testing::TestWithParam<MethodCase> {};

// The packer's current output: the 2021 namespace's FileHash beside the blocks,
// each block's compressed Size, in the method the signing digest chose.
TEST_P(BlockMapMethodTest, ReadsBlocksAndFileHashOfTheMethod) {
    const std::string block = DigestText(GetParam().size, 'b');
    const std::string whole = DigestText(GetParam().size, 'w');
    const auto document = ReadBlockMap(BlockMap(
        R"(<File Name="a" Size="65537" LfhSize="31"><Block Hash=")" + block + R"(" Size="700"/><Block Hash=")" +
            block + R"(" Size="700"/><b4:FileHash Hash=")" + whole + R"("/></File>)",
        std::string(R"(xmlns="http://schemas.microsoft.com/appx/2010/blockmap" )") + k2021 +
            R"(IgnorableNamespaces="b4" HashMethod=")" + GetParam().uri + "\""));
    EXPECT_EQ(document.method, GetParam().method);
    ASSERT_EQ(document.files.size(), 1u);
    const BlockMapFile& file = document.files[0];
    EXPECT_EQ(file.blockHashes.size(), 2 * GetParam().size);
    EXPECT_EQ(file.BlockHash(1, GetParam().method).back(), 'b');
    EXPECT_EQ(file.compressedSize, 1400u);
    ASSERT_TRUE(file.fileHash.has_value());
    EXPECT_EQ(*file.fileHash, Digest(std::vector<std::uint8_t>(GetParam().size, 'w')));
}

INSTANTIATE_TEST_SUITE_P(Methods, BlockMapMethodTest,
                         testing::Values(MethodCase{"http://www.w3.org/2001/04/xmlenc#sha256", HashMethod::Sha256, 32},
                                         MethodCase{"http://www.w3.org/2001/04/xmldsig-more#sha384", HashMethod::Sha384, 48},
                                         MethodCase{"http://www.w3.org/2001/04/xmlenc#sha512", HashMethod::Sha512, 64}));

// What a later block map may add under a namespace that it marks ignorable is
// skipped with everything inside it.
TEST(BlockMapTest, SkipsWhatItMayIgnore) {
    const auto files = ReadBlockMap(BlockMap(
        R"(<x:Note><File Name="inside" Size="0" LfhSize="31"/></x:Note>)"
        R"(<File Name="a" Size="1" LfhSize="31" x:Flag="1">)" + Blocks(1) + R"(<x:Extra Hash="?"/></File>)",
        R"(xmlns="http://schemas.microsoft.com/appx/2010/blockmap" xmlns:x="urn:later" xmlns:y="urn:other" )"
        R"(IgnorableNamespaces=" x	y " HashMethod="http://www.w3.org/2001/04/xmlenc#sha256")")).files;
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].name, "a");
}

// A block map arrives as the package is inflated, in pieces that may cut a
// name, an attribute or a multi-byte character anywhere.
TEST(BlockMapTest, ReadsTheSameInPiecesOfAnySize) {
    const std::string xml = BlockMap(R"(<File Name="Données\Größe.bin" Size="131073" LfhSize="49">)" + Blocks(3) +
                                     "</File>" + R"(<File Name="Empty.txt" Size="0" LfhSize="39"/>)");
    const auto whole = ReadBlockMap(xml).files;
    ASSERT_EQ(whole.size(), 2u);
    EXPECT_EQ(whole[0].name, "Données/Größe.bin");
    for (const std::size_t piece : {1u, 2u, 7u, 64u}) {
        BlockMapReader reader;
        for (std::size_t at = 0; at < xml.size(); at += piece) {
            reader.Feed(std::string_view(xml).substr(at, piece));
        }
        const auto files = reader.Finish().files;
        ASSERT_EQ(files.size(), whole.size()) << piece;
        for (std::size_t i = 0; i < files.size(); ++i) {
            EXPECT_EQ(files[i].name, whole[i].name) << piece;
            EXPECT_EQ(files[i].size, whole[i].size) << piece;
            EXPECT_EQ(files[i].blockHashes, whole[i].blockHashes) << piece;
        }
    }
}

class BadBlockMapTest : public testing::TestWithParam<BadXmlCase> {};

TEST_P(BadBlockMapTest, IsRefused) {
    const auto error = CaptureFailure([&] { ReadBlockMap(GetParam().xml); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Code(), kInvalidBlockMap);
    EXPECT_NE(TextOf(*error).find(GetParam().fault), std::wstring::npos) << testing::PrintToString(TextOf(*error));
}

INSTANTIATE_TEST_SUITE_P(
    BlockMaps, BadBlockMapTest,
    testing::Values(
        BadXmlCase{"WrongNamespace",
                   BlockMap("", R"(xmlns="urn:x" HashMethod="http://www.w3.org/2001/04/xmlenc#sha256")"),
                   L"not a block map"},
        BadXmlCase{"WrongHashMethod",
                   BlockMap("", R"(xmlns="http://schemas.microsoft.com/appx/2010/blockmap" )"
                                R"(HashMethod="http://www.w3.org/2000/09/xmldsig#sha1")"),
                   L"HashMethod"},
        BadXmlCase{"TooFewBlocks", BlockMap(R"(<File Name="a" Size="65537" LfhSize="31">)" + Blocks(1) + "</File>"),
                   L"has 1 blocks, its size needs 2"},
        BadXmlCase{"TooManyBlocks", BlockMap(R"(<File Name="a" Size="65536" LfhSize="31">)" + Blocks(2) + "</File>"),
                   L"more than the 1 blocks"},
        BadXmlCase{"BlockForEmptyFile", BlockMap(R"(<File Name="a" Size="0" LfhSize="31">)" + Blocks(1) + "</File>"),
                   L"more than the 0 blocks"},
        BadXmlCase{"ShortHash",
                   BlockMap(R"(<File Name="a" Size="1" LfhSize="31"><Block Hash="AAAA"/></File>)"),
                   L"not the base64 of 32 bytes"},
        BadXmlCase{"HashNotBase64",
                   BlockMap(R"(<File Name="a" Size="1" LfhSize="31"><Block Hash="47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuF!="/></File>)"),
                   L"not the base64 of 32 bytes"},
        BadXmlCase{"MissingHash", BlockMap(R"(<File Name="a" Size="1" LfhSize="31"><Block/></File>)"),
                   L"not the base64 of 32 bytes"},
        BadXmlCase{"NegativeSize", BlockMap(R"(<File Name="a" Size="-1" LfhSize="31"/>)"), L"no valid Size"},
        BadXmlCase{"HugeSize", BlockMap(R"(<File Name="a" Size="99999999999999999999" LfhSize="31"/>)"),
                   L"no valid Size"},
        BadXmlCase{"MissingLfhSize", BlockMap(R"(<File Name="a" Size="0"/>)"), L"no valid LfhSize"},
        BadXmlCase{"MissingName", BlockMap(R"(<File Size="0" LfhSize="31"/>)"), L"has no Name"},
        BadXmlCase{"UnsafeName", BlockMap(R"(<File Name="..\evil" Size="0" LfhSize="31"/>)"), L"safe relative name"},
        BadXmlCase{"AbsoluteName", BlockMap(R"(<File Name="\evil" Size="0" LfhSize="31"/>)"), L"safe relative name"},
        BadXmlCase{"Duplicate", BlockMap(R"(<File Name="a\b" Size="0" LfhSize="31"/><File Name="a/b" Size="0" LfhSize="31"/>)"),
                   L"more than once"},
        BadXmlCase{"DuplicateByCase",
                   BlockMap(R"(<File Name="Readme.txt" Size="0" LfhSize="31"/><File Name="README.TXT" Size="0" LfhSize="31"/>)"),
                   L"more than once"},
        BadXmlCase{"DuplicateByUnicodeCase",
                   BlockMap(R"(<File Name="É.txt" Size="0" LfhSize="31"/><File Name="é.txt" Size="0" LfhSize="31"/>)"),
                   L"more than once"},
        BadXmlCase{"NulReference", BlockMap(R"(<File Name="a&#0;b" Size="0" LfhSize="31"/>)"),
                   L"reference to invalid character number"},
        BadXmlCase{"LiteralControl", BlockMap("<File Name=\"a\x1b[2J\" Size=\"0\" LfhSize=\"31\"/>"),
                   L"not well-formed"},
        BadXmlCase{"UnknownElement", BlockMap(R"(<Folder Name="a"/>)"), L"<Folder>"},
        BadXmlCase{"Malformed", BlockMap("<File"), L"XML cannot be read"},
        BadXmlCase{"Truncated", BlockMap(R"(<File Name="a" Size="0" LfhSize="31"/>)").substr(0, 150),
                   L"XML cannot be read"},
        BadXmlCase{"Empty", "", L"XML cannot be read"},
        BadXmlCase{"HashOfAnotherMethod",
                   BlockMap(R"(<File Name="a" Size="1" LfhSize="31">)" + Blocks(1) + "</File>",
                            R"(xmlns="http://schemas.microsoft.com/appx/2010/blockmap" )"
                            R"(HashMethod="http://www.w3.org/2001/04/xmlenc#sha512")"),
                   L"not the base64 of 64 bytes"},
        BadXmlCase{"UnknownNamespaceElement",
                   BlockMap(R"(<File Name="a" Size="0" LfhSize="31"><x:Extra xmlns:x="urn:later"/></File>)"),
                   L"<x:Extra> element of namespace \"urn:later\" that it does not list as ignorable"},
        BadXmlCase{"UnknownNamespaceAttribute",
                   BlockMap(R"(<File xmlns:x="urn:later" x:Flag="1" Name="a" Size="0" LfhSize="31"/>)"),
                   L"attribute x:Flag of namespace \"urn:later\""},
        BadXmlCase{"IgnorablePrefixUndeclared",
                   BlockMap("", R"(xmlns="http://schemas.microsoft.com/appx/2010/blockmap" IgnorableNamespaces="z" )"
                                R"(HashMethod="http://www.w3.org/2001/04/xmlenc#sha256")"),
                   L"prefix \"z\" that the root does not declare"},
        BadXmlCase{"OwnNamespaceIgnorable",
                   BlockMap(R"(<Folder/>)", R"(xmlns="http://schemas.microsoft.com/appx/2010/blockmap" )"
                                            R"(xmlns:m="http://schemas.microsoft.com/appx/2010/blockmap" )"
                                            R"(IgnorableNamespaces="m" HashMethod="http://www.w3.org/2001/04/xmlenc#sha256")"),
                   L"<Folder>"},
        BadXmlCase{"TwoFileHashes",
                   BlockMap(std::string(R"(<File Name="a" Size="0" LfhSize="31" )") + k2021 + R"(><b4:FileHash Hash=")" +
                            kHashA + R"("/><b4:FileHash Hash=")" + kHashA + R"("/></File>)"),
                   L"more than one FileHash"},
        BadXmlCase{"ShortFileHash",
                   BlockMap(std::string(R"(<File Name="a" Size="0" LfhSize="31" )") + k2021 +
                            R"(><b4:FileHash Hash="AAAA"/></File>)"),
                   L"FileHash whose Hash is not the base64 of 32 bytes"},
        BadXmlCase{"BlockSizeNotNumber",
                   BlockMap(std::string(R"(<File Name="a" Size="1" LfhSize="31"><Block Hash=")") + kHashA +
                            R"(" Size="-5"/></File>)"),
                   L"Size is not a number"},
        BadXmlCase{"SizeOnSomeBlocks",
                   BlockMap(std::string(R"(<File Name="a" Size="65537" LfhSize="31"><Block Hash=")") + kHashA +
                            R"(" Size="9"/><Block Hash=")" + kHashA + R"("/></File>)"),
                   L"blocks with and without a Size"},
        BadXmlCase{"EntityDeclarations",
                   R"(<!DOCTYPE BlockMap [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">]>)" +
                       BlockMap(R"(<File Name="&b;" Size="0" LfhSize="31"/>)"),
                   L"document type declaration"}),
    [](const auto& info) { return info.param.name; });
}  // namespace
}  // namespace platform::deployment::local
