// The AppInstaller file reader.
#include <gtest/gtest.h>

#include <string>

#include "platform/deployment/local/format/AppInstallerFile.h"
#include "tests/support/Raised.h"

namespace platform::deployment::local {
namespace {

using test_support::CaptureFailure;
using test_support::TextOf;

constexpr hresult kInvalidAppInstallerFile = ToHresult(0x8008020C);

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

class GoodAppInstallerFileTest : public testing::TestWithParam<GoodAppInstallerCase> {};

TEST_P(GoodAppInstallerFileTest, ReadsMainPackage) {
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
    Files, GoodAppInstallerFileTest,
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

TEST(AppInstallerFileTest, ReadsDependenciesAndEscapedText) {
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

TEST(AppInstallerFileTest, ReadsBundlesOptionalPackagesAndMissingArchitectures) {
    const std::string xml = AppInstaller(
        R"(<MainBundle Name="Main.App" Publisher="CN=A" Version="2.1.0.7" Uri="main.appxbundle"/>)"
        R"(<OptionalPackages><Package Name="Opt.One" Publisher="CN=A" Version="1.0.0.0" Uri="o1.appx"/>)"
        R"(<Bundle Name="Opt.Two" Publisher="CN=A" Version="1.0.0.0" Uri="o2.appxbundle"/></OptionalPackages>)"
        R"(<Dependencies><Bundle Name="Dep.One" Publisher="CN=Dep" Version="1.0.0.0" Uri="d.appxbundle"/>)"
        R"(<Package Name="Dep.Two" Publisher="CN=Dep" Version="3.0.0.0" ProcessorArchitecture="x86a64" Uri="d2"/>)"
        R"(</Dependencies>)");
    const AppInstallerFile file = ReadAppInstallerFile(xml, L"test.appinstaller");
    EXPECT_EQ(file.mainPackage.identity,
              (PackageIdentity{L"Main.App", L"CN=A", Version{2, 1, 0, 7}, L"neutral", L"~"}));
    EXPECT_TRUE(file.mainPackage.bundle);
    ASSERT_EQ(file.optionalPackages.size(), 2u);
    EXPECT_FALSE(file.optionalPackages[0].bundle);
    EXPECT_FALSE(file.optionalPackages[0].architectureGiven);
    EXPECT_EQ(file.optionalPackages[1].identity.resourceId, L"~");
    EXPECT_EQ(file.optionalPackages[1].uri, L"o2.appxbundle");
    ASSERT_EQ(file.dependencies.size(), 2u);
    EXPECT_TRUE(file.dependencies[0].bundle);
    EXPECT_TRUE(file.dependencies[1].architectureGiven);
    EXPECT_EQ(file.dependencies[1].identity.architecture, L"x86a64");
}

struct BadXmlCase {
    std::string name;
    std::string xml;
    std::wstring fault;  // part of the error text
};

class BadAppInstallerFileTest : public testing::TestWithParam<BadXmlCase> {};

TEST_P(BadAppInstallerFileTest, IsRefusedNamingSourceAndFault) {
    const auto error = CaptureFailure([&] { ReadAppInstallerFile(GetParam().xml, L"file:///srv/bad.appinstaller"); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Code(), kInvalidAppInstallerFile);
    const std::wstring text = TextOf(*error);
    EXPECT_NE(text.find(L"\"file:///srv/bad.appinstaller\""), std::wstring::npos) << testing::PrintToString(text);
    EXPECT_NE(text.find(GetParam().fault), std::wstring::npos) << testing::PrintToString(text);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadAppInstallerFileTest,
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
        BadXmlCase{"MainPackageAndMainBundle",
                   AppInstaller(kMainPackage +
                                R"(<MainBundle Name="Abc" Publisher="CN=A" Version="1.0.0.0" Uri="a.appxbundle"/>)"),
                   L"more than one MainPackage or MainBundle"},
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
        BadXmlCase{"OtherOptionalElement",
                   AppInstaller(kMainPackage + R"(<OptionalPackages><Extension Name="Abc" Publisher="CN=A" )"
                                               R"(Version="1.0.0.0" Uri="b"/></OptionalPackages>)"),
                   L"<Extension>"},
        BadXmlCase{"BadDependency",
                   AppInstaller(kMainPackage + R"(<Dependencies><Package Name="Abc" Publisher="CN=A" )"
                                               R"(Version="1.0" Uri="b"/></Dependencies>)"),
                   L"dependency 1"},
        // Characters that XML does not allow, whether referred to or written out.
        BadXmlCase{"NulReference",
                   AppInstaller(R"(<MainPackage Name="A.Pkg&#0;x" Publisher="CN=A" Version="1.0.0.0" Uri="a"/>)"),
                   L"reference to invalid character number"},
        BadXmlCase{"EscapeReference",
                   AppInstaller(R"(<MainPackage Name="A.Pkg" Publisher="CN=A&#x1B;" Version="1.0.0.0" Uri="a"/>)"),
                   L"reference to invalid character number"},
        BadXmlCase{"LiteralControl",
                   AppInstaller("<MainPackage Name=\"A.Pkg\" Publisher=\"CN=\x01\" Version=\"1.0.0.0\" Uri=\"a\"/>"),
                   L"not well-formed"},
        BadXmlCase{"MalformedXml", AppInstaller(kMainPackage).substr(0, 120), L"XML cannot be read"},
        BadXmlCase{"NotXml", "\x89PNG\r\n\x1a\n", L"XML cannot be read"},
        BadXmlCase{"Empty", "", L"XML cannot be read"}),
    [](const auto& info) { return info.param.name; });
}  // namespace
}  // namespace platform::deployment::local
