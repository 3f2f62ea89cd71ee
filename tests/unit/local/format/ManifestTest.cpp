// The package manifest reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/deployment/local/format/Manifest.h"
#include "tests/support/Raised.h"

namespace platform::deployment::local {
namespace {

using test_support::CaptureFailure;
using test_support::TextOf;

constexpr hresult kInvalidManifest = ToHresult(0x80080204);

struct BadXmlCase {
    std::string name;
    std::string xml;
    std::wstring fault;  // part of the error text
};

std::string Manifest(const std::string& identityAttributes,
                     const std::string& xmlNamespace = "http://schemas.microsoft.com/appx/manifest/foundation/windows10") {
    return R"(<?xml version="1.0" encoding="utf-8"?><Package xmlns=")" + xmlNamespace + R"("><Identity )" +
           identityAttributes + R"(/><Properties><DisplayName>x</DisplayName></Properties></Package>)";
}

TEST(ManifestTest, ReadsIdentity) {
    EXPECT_EQ(ReadManifest(Manifest(R"(Name="Sample.App" Publisher="CN=Oru Quillmark" Version="1.2.3.4")")),
              (PackageIdentity{L"Sample.App", L"CN=Oru Quillmark", Version{1, 2, 3, 4}, L"neutral", L""}));
    EXPECT_EQ(ReadManifest(Manifest(R"(Name="Sample.App" Publisher="CN=Oru Quillmark" Version="1.2.3.4" )"
                                    R"(ProcessorArchitecture="arm64" ResourceId="de-de")",
                                    "http://schemas.microsoft.com/appx/2010/manifest")),
              (PackageIdentity{L"Sample.App", L"CN=Oru Quillmark", Version{1, 2, 3, 4}, L"arm64", L"de-de"}));
}

std::string WithDependencies(const std::string& dependencies) {
    return R"(<Package xmlns="http://schemas.microsoft.com/appx/manifest/foundation/windows10">)"
           R"(<Identity Name="Abc" Publisher="CN=A" Version="1.0.0.0" ProcessorArchitecture="x86a64"/>)"
           R"(<Dependencies><TargetDeviceFamily Name="Windows.Desktop" MinVersion="10.0.0.0"/>)" +
           dependencies + "</Dependencies></Package>";
}

TEST(ManifestTest, ReadsPackageDependencies) {
    const ManifestContents contents = ReadManifestContents(WithDependencies(
        R"(<PackageDependency Name="Oru.Runtime" Publisher="CN=Oru, O=Oru" MinVersion="1.4.0.0"/>)"
        R"(<PackageDependency Name="Oru.Fonts" Publisher="CN=Oru" MinVersion="0.0.0.0"/>)"));
    EXPECT_EQ(contents.identity.architecture, L"x86a64");
    EXPECT_EQ(contents.dependencies,
              (std::vector<PackageDependency>{{L"Oru.Runtime", L"CN=Oru, O=Oru", Version{1, 4, 0, 0}},
                                              {L"Oru.Fonts", L"CN=Oru", Version{0, 0, 0, 0}}}));
}

class BadManifestTest : public testing::TestWithParam<BadXmlCase> {};

TEST_P(BadManifestTest, IsRefused) {
    const auto error = CaptureFailure([&] { ReadManifestContents(GetParam().xml); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Code(), kInvalidManifest);
    EXPECT_NE(TextOf(*error).find(GetParam().fault), std::wstring::npos) << testing::PrintToString(TextOf(*error));
}

INSTANTIATE_TEST_SUITE_P(
    Manifests, BadManifestTest,
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
        BadXmlCase{"NulReference", Manifest(R"(Name="Abc&#0;x" Publisher="CN=A" Version="1.0.0.0")"),
                   L"reference to invalid character number"},
        BadXmlCase{"BundleResourceId",
                   Manifest(R"(Name="Abc" Publisher="CN=A" Version="1.0.0.0" ResourceId="~")"), L"ResourceId"},
        BadXmlCase{"DependencyWithoutMinVersion",
                   WithDependencies(R"(<PackageDependency Name="Oru.Runtime" Publisher="CN=Oru"/>)"),
                   L"PackageDependency 1 has no MinVersion"},
        BadXmlCase{"DependencyWithBadName",
                   WithDependencies(R"(<PackageDependency Name="Oru.Runtime" Publisher="CN=Oru" MinVersion="1.0.0.0"/>)"
                                    R"(<PackageDependency Name="a/b" Publisher="CN=Oru" MinVersion="1.0.0.0"/>)"),
                   L"PackageDependency 2 has no Name"},
        BadXmlCase{"Malformed", "<Package", L"XML cannot be read"}),
    [](const auto& info) { return info.param.name; });
}  // namespace
}  // namespace platform::deployment::local
