// The bundle manifest reader.
#include <gtest/gtest.h>

#include <string>

#include "platform/deployment/local/format/BundleManifest.h"
#include "tests/support/Raised.h"

namespace platform::deployment::local {
namespace {

using test_support::FailureOf;

std::string Bundle(const std::string& packages,
                   const std::string& identity = R"(<Identity Name="Oru.App" Publisher="CN=Oru" Version="2.0.0.0"/>)") {
    return R"(<Bundle xmlns="http://schemas.microsoft.com/appx/2013/bundle" SchemaVersion="5.0">)" + identity +
           "<Packages>" + packages + "</Packages></Bundle>";
}

const std::string kApplication =
    R"(<Package Type="application" Version="2.0.0.1" Architecture="x64" FileName="App_x64.appx" Offset="120" Size="4000"/>)";

TEST(BundleManifestTest, ReadsIdentityAndPackages) {
    const BundleManifest manifest = ReadBundleManifest(Bundle(
        kApplication +
        R"(<Package Version="2.0.0.0" ResourceId="split.language-de" FileName="App_de.appx" Offset="4200" )"
        R"(Size="18446744073709547415"><Resources><Resource Language="de-DE"/><Resource Scale="200"/>)"
        R"(<Resource Language="de"/></Resources></Package>)"));
    EXPECT_EQ(manifest.identity, (PackageIdentity{L"Oru.App", L"CN=Oru", Version{2, 0, 0, 0}, L"neutral", L"~"}));
    ASSERT_EQ(manifest.packages.size(), 2u);
    const BundledPackage& application = manifest.packages[0];
    EXPECT_TRUE(application.application);
    EXPECT_EQ(application.identity, (PackageIdentity{L"Oru.App", L"CN=Oru", Version{2, 0, 0, 1}, L"x64", L""}));
    EXPECT_EQ(application.fileName, "App_x64.appx");
    EXPECT_EQ(application.offset, 120u);
    EXPECT_EQ(application.size, 4000u);
    const BundledPackage& resource = manifest.packages[1];
    EXPECT_FALSE(resource.application) << "Type defaults to resource";
    EXPECT_EQ(resource.identity.architecture, L"neutral");
    EXPECT_EQ(resource.identity.resourceId, L"split.language-de");
    EXPECT_EQ(resource.size, 18446744073709547415u);
    EXPECT_EQ(resource.languages, (std::vector<std::wstring>{L"de-DE", L"de"}));
}

struct BadBundleCase {
    std::string name;
    std::string xml;
    std::wstring fault;
};

class BadBundleManifestTest : public testing::TestWithParam<BadBundleCase> {};

TEST_P(BadBundleManifestTest, IsRefused) {
    const auto raised = FailureOf([&] { ReadBundleManifest(GetParam().xml); });
    EXPECT_EQ(raised.code, ToHresult(0x80080204));
    EXPECT_NE(raised.text.find(GetParam().fault), std::wstring::npos) << testing::PrintToString(raised.text);
}

INSTANTIATE_TEST_SUITE_P(
    Manifests, BadBundleManifestTest,
    testing::Values(
        BadBundleCase{"PackageManifest",
                      R"(<Package xmlns="http://schemas.microsoft.com/appx/manifest/foundation/windows10"/>)",
                      L"not a bundle manifest"},
        BadBundleCase{"NoIdentity", Bundle(kApplication, ""), L"no Identity"},
        BadBundleCase{"NoApplication",
                      Bundle(R"(<Package Version="1.0.0.0" ResourceId="de" FileName="d" Offset="0" Size="9"/>)"),
                      L"no application package"},
        BadBundleCase{"BadType",
                      Bundle(R"(<Package Type="main" Version="1.0.0.0" FileName="d" Offset="0" Size="9"/>)"),
                      L"Type \"main\""},
        BadBundleCase{"OffsetWithoutSize",
                      Bundle(R"(<Package Type="application" Version="1.0.0.0" FileName="d" Offset="0"/>)"),
                      L"no Size"},
        BadBundleCase{"SignedSize",
                      Bundle(R"(<Package Type="application" Version="1.0.0.0" FileName="d" Offset="0" Size="-9"/>)"),
                      L"Size \"-9\""},
        BadBundleCase{"SizeBeyond64Bits",
                      Bundle(R"(<Package Type="application" Version="1.0.0.0" FileName="d" Offset="0" )"
                             R"(Size="18446744073709551616"/>)"),
                      L"not an unsigned 64-bit number"},
        BadBundleCase{"RangeBeyond64Bits",
                      Bundle(R"(<Package Type="application" Version="1.0.0.0" FileName="d" Offset="2" )"
                             R"(Size="18446744073709551615"/>)"),
                      L"beyond 2^64"},
        BadBundleCase{"FileNameWithColon",
                      Bundle(R"(<Package Type="application" Version="1.0.0.0" FileName="c:x" Offset="0" Size="9"/>)"),
                      L"FileName"},
        BadBundleCase{"BadArchitecture",
                      Bundle(R"(<Package Type="application" Version="1.0.0.0" Architecture="mips" FileName="d" )"
                             R"(Offset="0" Size="9"/>)"),
                      L"package 1, the ProcessorArchitecture \"mips\""},
        BadBundleCase{"SameFileTwice", Bundle(kApplication + kApplication), L"more than once"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace platform::deployment::local
