// The content types reader: which type a part gets, and which documents are refused.
#include <gtest/gtest.h>

#include <string>

#include "platform/deployment/local/format/ContentTypes.h"
#include "tests/support/Raised.h"

namespace platform::deployment::local {
namespace {

using test_support::CaptureFailure;
using test_support::TextOf;

constexpr hresult kCorruptPackage = ToHresult(0x80080206);

std::string Types(const std::string& children,
                  const std::string& root = R"(xmlns="http://schemas.openxmlformats.org/package/2006/content-types")") {
    return "<Types " + root + ">" + children + "</Types>";
}

TEST(ContentTypesTest, OverridesByPartNameComeBeforeDefaultsByExtension) {
    const ContentTypes types = ReadContentTypes(Types(
        R"(<Default Extension="XML" ContentType="application/xml"/>)"
        R"(<Default Extension="gz" ContentType="application/gzip"/>)"
        R"(<Override PartName="/AppxManifest.xml" ContentType="application/vnd.ms-appx.manifest+xml"/>)"
        R"(<Override PartName="/bin/My%20Tool" ContentType="application/octet-stream"/>)"));
    EXPECT_EQ(types.TypeOf("appxmanifest.XML"), "application/vnd.ms-appx.manifest+xml");
    EXPECT_EQ(types.TypeOf("Assets/data.xml"), "application/xml");
    EXPECT_EQ(types.TypeOf("a.tar.GZ"), "application/gzip");
    EXPECT_EQ(types.TypeOf("bin/my tool"), "application/octet-stream");
    EXPECT_EQ(types.TypeOf("bin/tool"), std::nullopt);
    EXPECT_EQ(types.TypeOf("a.xml/tool"), std::nullopt) << "an extension is the last segment's";
    EXPECT_EQ(types.TypeOf("tar.gz/x."), std::nullopt);
}

struct BadTypesCase {
    std::string name;
    std::string xml;
    std::wstring fault;
};

class BadContentTypesTest : public testing::TestWithParam<BadTypesCase> {};

TEST_P(BadContentTypesTest, IsRefused) {
    const auto error = CaptureFailure([&] { ReadContentTypes(GetParam().xml); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Code(), kCorruptPackage);
    EXPECT_NE(TextOf(*error).find(GetParam().fault), std::wstring::npos) << testing::PrintToString(TextOf(*error));
}

INSTANTIATE_TEST_SUITE_P(
    Documents, BadContentTypesTest,
    testing::Values(
        BadTypesCase{"Malformed", "<Types", L"XML cannot be read"},
        BadTypesCase{"OtherNamespace", Types("", R"(xmlns="urn:x")"), L"not <Types>"},
        BadTypesCase{"OtherElement", Types(R"(<Default Extension="a" ContentType="a/b"/><Extra/>)"), L"<Extra>"},
        BadTypesCase{"NotAMediaType", Types(R"(<Default Extension="a" ContentType="text"/>)"), L"not a media type"},
        BadTypesCase{"SpaceInMediaType", Types(R"(<Default Extension="a" ContentType="text/ plain"/>)"),
                     L"not a media type"},
        BadTypesCase{"NoExtension", Types(R"(<Default ContentType="a/b"/>)"), L"not a file name extension"},
        BadTypesCase{"DotInExtension", Types(R"(<Default Extension=".png" ContentType="a/b"/>)"),
                     L"not a file name extension"},
        BadTypesCase{"RelativePartName", Types(R"(<Override PartName="a.txt" ContentType="a/b"/>)"),
                     L"not a part name"},
        BadTypesCase{"UnsafePartName", Types(R"(<Override PartName="/../a" ContentType="a/b"/>)"), L"not a part name"},
        BadTypesCase{"SecondDefault",
                     Types(R"(<Default Extension="png" ContentType="a/b"/><Default Extension="PNG" ContentType="a/c"/>)"),
                     L"more than one <Default>"},
        BadTypesCase{"SecondOverride",
                     Types(R"(<Override PartName="/a" ContentType="a/b"/><Override PartName="/A" ContentType="a/b"/>)"),
                     L"more than one <Override>"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace platform::deployment::local
