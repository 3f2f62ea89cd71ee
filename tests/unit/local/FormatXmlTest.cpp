// The AppInstaller file, manifest and block map readers.
#include <gtest/gtest.h>

#include <string>

#include "platform/deployment/local/AppInstallerFile.h"
#include "platform/deployment/local/BlockMap.h"
#include "platform/deployment/local/Manifest.h"
#include "tests/support/Raised.h"

namespace platform::deployment::local {
namespace {

using test_support::CaptureFailure;
using test_support::TextOf;

constexpr hresult kInvalidAppInstallerFile = ToHresult(0x8008020C);
constexpr hresult kInvalidManifest = ToHresult(0x80080204);
constexpr hresult kInvalidBlockMap = ToHresult(0x80080205);

const std::string kMainPackage =
    R"(<MainPackage Name="Oru.Quillmark.Vantor.App.Release" Publisher="CN=Oru Quillmark" Version="1.0.0.0" )"
    R"(ProcessorArchitecture="neutral" Uri="Sample.appx"/>)";

std::string AppInstaller(const std::string& body,
                         const std::string& xmlNamespace = "http://schemas.microsoft.com/appx/appinstaller/2018",
                         const std::string& attributes = R"(Uri="https://example.com/a.appinstaller" Version="1.0.0.0")") {
    return R"(<?xml version="1.0" encoding="utf-8"?><AppInstaller xmlns=")" + xmlNamespace + "\" " + attributes +
           ">" + body + "</AppInstaller>";
}

struct GoodAppInstallerCase {
    std::string name;
    std::string xml;
};

class FormatGoodAppInstallerTest : public testing::TestWithParam<GoodAppInstallerCase> {};

TEST_P(FormatGoodAppInstallerTest, ReadsMainPackage) {
    const AppInstallerFile file = ReadAppInstallerFile(GetParam().xml, L"https://example.com/a.appinstaller");
    EXPECT_EQ(file.uri, L"https://example.com/a.appinstaller");
    EXPECT_EQ(file.version, (Version{1, 0, 0, 0}));
    EXPECT_EQ(file.mainPackage.identity,
              (PackageIdentity{L"Oru.Quillmark.Vantor.App.Release", L"CN=Oru Quillmark", Version{1, 0, 0, 0},
                               L"neutral", L""}));
    EXPECT_EQ(file.mainPackage.uri, L"Sample.appx");
    EXPECT_TRUE(file.dependencies.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, FormatGoodAppInstallerTest,
    testing::Values(
        GoodAppInstallerCase{"Namespace2017", AppInstaller(kMainPackage, "http://schemas.microsoft.com/appx/appinstaller/2017")},
        GoodAppInstallerCase{"Namespace2017_2", AppInstaller(kMainPackage, "http://schemas.microsoft.com/appx/appinstaller/2017/2")},
        GoodAppInstallerCase{"Namespace2018", AppInstaller(kMainPackage)},
        GoodAppInstallerCase{"Namespace2021", AppInstaller(kMainPackage, "http://schemas.microsoft.com/appx/appinstaller/2021")},
        GoodAppInstallerCase{"UpdateSettingsIgnored",
                             AppInstaller(kMainPackage + R"(<UpdateSettings><OnLaunch HoursBetweenUpdateChecks="0"/>)"
                                                         R"(<AutomaticBackgroundTask/></UpdateSettings>)")},
        GoodAppInstallerCase{"Prefixed",
                             R"(<a:AppInstaller xmlns:a="http://schemas.microsoft.com/appx/appinstaller/2018" )"
                             R"(Uri="https://example.com/a.appinstaller" Version="1.0.0.0"><a:MainPackage )"
                             R"(Name="Oru.Quillmark.Vantor.App.Release" Publisher="CN=Oru Quillmark" Version="1.0.0.0" )"
                             R"(Uri="Sample.appx"/></a:AppInstaller>)"},
        GoodAppInstallerCase{"Utf16", [] {
                                 // The same document in UTF-16LE with a byte order mark.
                                 const std::string utf8 = AppInstaller(kMainPackage);
                                 std::string utf16 = "\xFF\xFE";
                                 for (const char c : utf8) {
                                     utf16 += c;
                                     utf16 += '\0';
                                 }
                                 return utf16;
                             }()}),
    [](const auto& info) { return info.param.name; });

TEST(FormatAppInstallerFileTest, ReadsDependenciesAndEscapedText) {
    const std::string xml = AppInstaller(
        R"(<MainPackage Name="Main.App" Publisher="CN=A &amp; B" Version="2.1.0.7" ProcessorArchitecture="x64" )"
        R"(ResourceId="en-us" Uri="https://example.com/packages/Main%20App.appx"/>)"
        R"(<Dependencies>)"
        R"(<Package Name="Dep.One" Publisher="CN=Dep" Version="1.0.0.0" ProcessorArchitecture="x64" Uri="dep1.appx"/>)"
        R"(<Package Name="Dep.Two" Publisher="CN=Dep" Version="3.0.0.0" ProcessorArchitecture="arm64" Uri="/dep2.appx"/>)"
        R"(</Dependencies>)");
    const AppInstallerFile file = ReadAppInstallerFile(xml, L"test.appinstaller");
    EXPECT_EQ(file.mainPackage.identity,
              (PackageIdentity{L"Main.App", L"CN=A & B", Version{2, 1, 0, 7}, L"x64", L"en-us"}));
    EXPECT_EQ(file.mainPackage.uri, L"https://example.com/packages/Main%20App.appx");
    ASSERT_EQ(file.dependencies.size(), 2u);
    EXPECT_EQ(file.dependencies[0].identity,
              (PackageIdentity{L"Dep.One", L"CN=Dep", Version{1, 0, 0, 0}, L"x64", L""}));
    EXPECT_EQ(file.dependencies[0].uri, L"dep1.appx");
    EXPECT_EQ(file.dependencies[1].identity.name, L"Dep.Two");
    EXPECT_EQ(file.dependencies[1].identity.architecture, L"arm64");
    EXPECT_EQ(file.dependencies[1].uri, L"/dep2.appx");
}

struct BadXmlCase {
    std::string name;
    std::string xml;
    std::wstring fault;  // part of the error text
};

class FormatBadAppInstallerTest : public testing::TestWithParam<BadXmlCase> {};

TEST_P(FormatBadAppInstallerTest, IsRefusedNamingSourceAndFault) {
    const auto error = CaptureFailure([&] { ReadAppInstallerFile(GetParam().xml, L"file:///srv/bad.appinstaller"); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Code(), kInvalidAppInstallerFile);
    const std::wstring text = TextOf(*error);
    EXPECT_NE(text.find(L"\"file:///srv/bad.appinstaller\""), std::wstring::npos) << testing::PrintToString(text);
    EXPECT_NE(text.find(GetParam().fault), std::wstring::npos) << testing::PrintToString(text);
}

INSTANTIATE_TEST_SUITE_P(
    Files, FormatBadAppInstallerTest,
    testing::Values(
        BadXmlCase{"WrongNamespace", AppInstaller(kMainPackage, "http://schemas.microsoft.com/appx/appinstaller/2099"),
                   L"not <AppInstaller>"},
        BadXmlCase{"NoNamespace", R"(<AppInstaller Uri="x" Version="1.0.0.0">)" + kMainPackage + "</AppInstaller>",
                   L"not <AppInstaller>"},
        BadXmlCase{"WrongRoot", R"(<Package xmlns="http://schemas.microsoft.com/appx/appinstaller/2018"/>)",
                   L"not <AppInstaller>"},
        BadXmlCase{"MissingMainPackage", AppInstaller(""), L"no MainPackage"},
        BadXmlCase{"MainPackageInOtherNamespace",
                   AppInstaller(R"(<MainPackage xmlns="urn:other" Name="Abc" Publisher="CN=A" Version="1.0.0.0" Uri="a"/>)"),
                   L"no MainPackage"},
        BadXmlCase{"TwoMainPackages", AppInstaller(kMainPackage + kMainPackage), L"more than one MainPackage"},
        BadXmlCase{"MainBundle",
                   AppInstaller(R"(<MainBundle Name="Abc" Publisher="CN=A" Version="1.0.0.0" Uri="a.appxbundle"/>)"),
                   L"MainBundle"},
        BadXmlCase{"BadPackageVersion",
                   AppInstaller(R"(<MainPackage Name="Abc" Publisher="CN=A" Version="1.0.0" Uri="a"/>)"),
                   L"Version \"1.0.0\""},
        BadXmlCase{"ZeroMajorPackageVersion",
                   AppInstaller(R"(<MainPackage Name="Abc" Publisher="CN=A" Version="0.1.0.0" Uri="a"/>)"),
                   L"major part of zero"},
        BadXmlCase{"BadFileVersion", AppInstaller(kMainPackage, "http://schemas.microsoft.com/appx/appinstaller/2018",
                                                  R"(Uri="x" Version="one")"),
                   L"Version \"one\""},
        BadXmlCase{"MissingFileUri", AppInstaller(kMainPackage, "http://schemas.microsoft.com/appx/appinstaller/2018",
                                                  R"(Version="1.0.0.0")"),
                   L"no Uri"},
        BadXmlCase{"MissingPackageUri",
                   AppInstaller(R"(<MainPackage Name="Abc" Publisher="CN=A" Version="1.0.0.0"/>)"), L"Uri"},
        BadXmlCase{"MissingName", AppInstaller(R"(<MainPackage Publisher="CN=A" Version="1.0.0.0" Uri="a"/>)"),
                   L"Name attribute is missing"},
        BadXmlCase{"NameWithPath",
                   AppInstaller(R"(<MainPackage Name="../x" Publisher="CN=A" Version="1.0.0.0" Uri="a"/>)"),
                   L"Name \"../x\""},
        BadXmlCase{"BadArchitecture",
                   AppInstaller(R"(<MainPackage Name="Abc" Publisher="CN=A" Version="1.0.0.0" )"
                                R"(ProcessorArchitecture="X64" Uri="a"/>)"),
                   L"ProcessorArchitecture \"X64\""},
        BadXmlCase{"BundleDependency",
                   AppInstaller(kMainPackage + R"(<Dependencies><Bundle Name="Abc" Publisher="CN=A" )"
                                               R"(Version="1.0.0.0" Uri="b"/></Dependencies>)"),
                   L"Bundle"},
        BadXmlCase{"BadDependency",
                   AppInstaller(kMainPackage + R"(<Dependencies><Package Name="Abc" Publisher="CN=A" )"
                                               R"(Version="1.0" Uri="b"/></Dependencies>)"),
                   L"dependency 1"},
        BadXmlCase{"MalformedXml", AppInstaller(kMainPackage).substr(0, 120), L"XML cannot be read"},
        BadXmlCase{"NotXml", "\x89PNG\r\n\x1a\n", L"XML cannot be read"},
        BadXmlCase{"Empty", "", L"XML cannot be read"}),
    [](const auto& info) { return info.param.name; });

std::string Manifest(const std::string& identityAttributes,
                     const std::string& xmlNamespace = "http://schemas.microsoft.com/appx/manifest/foundation/windows10") {
    return R"(<?xml version="1.0" encoding="utf-8"?><Package xmlns=")" + xmlNamespace + R"("><Identity )" +
           identityAttributes + R"(/><Properties><DisplayName>x</DisplayName></Properties></Package>)";
}

TEST(FormatManifestTest, ReadsIdentity) {
    EXPECT_EQ(ReadManifest(Manifest(R"(Name="Sample.App" Publisher="CN=Oru Quillmark" Version="1.2.3.4")")),
              (PackageIdentity{L"Sample.App", L"CN=Oru Quillmark", Version{1, 2, 3, 4}, L"neutral", L""}));
    EXPECT_EQ(ReadManifest(Manifest(R"(Name="Sample.App" Publisher="CN=Oru Quillmark" Version="1.2.3.4" )"
                                    R"(ProcessorArchitecture="arm64" ResourceId="de-de")",
                                    "http://schemas.microsoft.com/appx/2010/manifest")),
              (PackageIdentity{L"Sample.App", L"CN=Oru Quillmark", Version{1, 2, 3, 4}, L"arm64", L"de-de"}));
}

class FormatBadManifestTest : public testing::TestWithParam<BadXmlCase> {};

TEST_P(FormatBadManifestTest, IsRefused) {
    const auto error = CaptureFailure([&] { ReadManifest(GetParam().xml); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Code(), kInvalidManifest);
    EXPECT_NE(TextOf(*error).find(GetParam().fault), std::wstring::npos) << testing::PrintToString(TextOf(*error));
}

INSTANTIATE_TEST_SUITE_P(
    Manifests, FormatBadManifestTest,
    testing::Values(
        BadXmlCase{"WrongNamespace", Manifest(R"(Name="Abc" Publisher="CN=A" Version="1.0.0.0")", "urn:x"),
                   L"not a package manifest"},
        BadXmlCase{"NoIdentity",
                   R"(<Package xmlns="http://schemas.microsoft.com/appx/manifest/foundation/windows10"/>)",
                   L"no Identity"},
        BadXmlCase{"TwoIdentities",
                   R"(<Package xmlns="http://schemas.microsoft.com/appx/manifest/foundation/windows10">)"
                   R"(<Identity Name="Abc" Publisher="CN=A" Version="1.0.0.0"/>)"
                   R"(<Identity Name="Abd" Publisher="CN=A" Version="1.0.0.0"/></Package>)",
                   L"more than one Identity"},
        BadXmlCase{"MissingName", Manifest(R"(Publisher="CN=A" Version="1.0.0.0")"), L"Name attribute"},
        BadXmlCase{"MissingPublisher", Manifest(R"(Name="Abc" Version="1.0.0.0")"), L"Publisher attribute"},
        BadXmlCase{"EmptyPublisher", Manifest(R"(Name="Abc" Publisher="" Version="1.0.0.0")"), L"Publisher is empty"},
        BadXmlCase{"MissingVersion", Manifest(R"(Name="Abc" Publisher="CN=A")"), L"Version attribute"},
        BadXmlCase{"ZeroMajor", Manifest(R"(Name="Abc" Publisher="CN=A" Version="0.0.0.1")"), L"major part of zero"},
        BadXmlCase{"VersionTooLarge", Manifest(R"(Name="Abc" Publisher="CN=A" Version="1.0.0.65536")"),
                   L"Version \"1.0.0.65536\""},
        BadXmlCase{"BadArchitecture",
                   Manifest(R"(Name="Abc" Publisher="CN=A" Version="1.0.0.0" ProcessorArchitecture="ia64")"),
                   L"ProcessorArchitecture"},
        BadXmlCase{"BadResourceId",
                   Manifest(R"(Name="Abc" Publisher="CN=A" Version="1.0.0.0" ResourceId="a_b")"), L"ResourceId"},
        BadXmlCase{"NameWithSlash", Manifest(R"(Name="a/bc" Publisher="CN=A" Version="1.0.0.0")"), L"Name \"a/bc\""},
        BadXmlCase{"Malformed", "<Package", L"XML cannot be read"}),
    [](const auto& info) { return info.param.name; });

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

TEST(FormatBlockMapTest, ReadsFilesSizesAndHashes) {
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
TEST(FormatBlockMapTest, ReadsTheSameInPiecesOfAnySize) {
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

class FormatBadBlockMapTest : public testing::TestWithParam<BadXmlCase> {};

TEST_P(FormatBadBlockMapTest, IsRefused) {
    const auto error = CaptureFailure([&] { ReadBlockMap(GetParam().xml); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Code(), kInvalidBlockMap);
    EXPECT_NE(TextOf(*error).find(GetParam().fault), std::wstring::npos) << testing::PrintToString(TextOf(*error));
}

INSTANTIATE_TEST_SUITE_P(
    BlockMaps, FormatBadBlockMapTest,
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
