// The block map reader.
#include <gtest/gtest.h>

#include <string>

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
        R"(<File Name="Exact.bin" Size="65536" LfhSize="39">)" + Blocks(1) + "</File>"));
    ASSERT_EQ(files.size(), 4u);
    EXPECT_EQ(files[1].name, "Assets/Deep/Big.bin");
    EXPECT_EQ(files[1].size, 131073u);
    EXPECT_EQ(files[1].lfhSize, 49u);
    ASSERT_EQ(files[1].blockHashes.size(), 3u);
    EXPECT_EQ(files[1].blockHashes[1][0], 0xBA);  // "ungW..." decodes to ba 78 16 ...
    EXPECT_EQ(files[1].blockHashes[1][31], 0xAD);
    EXPECT_EQ(files[1].blockHashes[0][0], 0xE3);  // "47DE..." decodes to e3 b0 c4 ...
    EXPECT_TRUE(files[2].blockHashes.empty());
    EXPECT_EQ(files[3].blockHashes.size(), 1u);
}

// A block map arrives as the package is inflated, in pieces that may cut a
// name, an attribute or a multi-byte character anywhere.
TEST(BlockMapTest, ReadsTheSameInPiecesOfAnySize) {
    const std::string xml = BlockMap(R"(<File Name="Données\Größe.bin" Size="131073" LfhSize="49">)" + Blocks(3) +
                                     "</File>" + R"(<File Name="Empty.txt" Size="0" LfhSize="39"/>)");
    const auto whole = ReadBlockMap(xml);
    ASSERT_EQ(whole.size(), 2u);
    EXPECT_EQ(whole[0].name, "Données/Größe.bin");
    for (const std::size_t piece : {1u, 2u, 7u, 64u}) {
        BlockMapReader reader;
        for (std::size_t at = 0; at < xml.size(); at += piece) {
            reader.Feed(std::string_view(xml).substr(at, piece));
        }
        const auto files = reader.Finish();
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
        BadXmlCase{"EntityDeclarations",
                   R"(<!DOCTYPE BlockMap [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">]>)" +
                       BlockMap(R"(<File Name="&b;" Size="0" LfhSize="31"/>)"),
                   L"document type declaration"}),
    [](const auto& info) { return info.param.name; });
}  // namespace
}  // namespace platform::deployment::local
