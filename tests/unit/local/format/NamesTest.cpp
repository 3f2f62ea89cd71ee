// Publisher ids, and the family and full names of a package.
#include <gtest/gtest.h>

#include <string>

#include "platform/deployment/local/format/Names.h"

namespace platform::deployment::local {
namespace {

struct PublisherIdCase {
    std::string name;
    std::wstring publisher;
    std::wstring id;
};

class PublisherIdTest : public testing::TestWithParam<PublisherIdCase> {};

TEST_P(PublisherIdTest, MatchesKnownId) {
    EXPECT_EQ(PublisherId(GetParam().publisher), GetParam().id);
}

INSTANTIATE_TEST_SUITE_P(
    Publishers, PublisherIdTest,
    testing::Values(PublisherIdCase{"Plain", L"CN=Oru Quillmark", L"ratp2p7zs941j"},
                    PublisherIdCase{"Example", L"CN=Example Publisher", L"z273n21bg6mp0"},
                    PublisherIdCase{"SeveralParts", L"CN=Oru Quillmark, O=Oru Quillmark Ltd, C=NZ", L"n3tr78ktpta9p"},
                    PublisherIdCase{"NonAscii", L"CN=\u00DCn\u00EFcode Publisher", L"gt1g5mg02s02r"}),
    [](const auto& info) { return info.param.name; });

PackageIdentity SampleIdentity() {
    return PackageIdentity{L"Oru.Quillmark.Vantor.App.Release", L"CN=Oru Quillmark", Version{1, 2, 3, 4}, L"x64", L""};
}

TEST(NamesTest, FamilyAndFullNames) {
    PackageIdentity identity = SampleIdentity();
    EXPECT_EQ(FamilyName(identity), L"Oru.Quillmark.Vantor.App.Release_ratp2p7zs941j");
    EXPECT_EQ(FullName(identity), L"Oru.Quillmark.Vantor.App.Release_1.2.3.4_x64__ratp2p7zs941j");
    identity.resourceId = L"en-us";
    EXPECT_EQ(FullName(identity), L"Oru.Quillmark.Vantor.App.Release_1.2.3.4_x64_en-us_ratp2p7zs941j");
}

TEST(NamesTest, ParsedFullNameGivesBackItsParts) {
    PackageIdentity identity = SampleIdentity();
    identity.resourceId = L"en-us";
    const auto parts = ParseFullName(FullName(identity));
    ASSERT_TRUE(parts.has_value());
    EXPECT_EQ(*parts, (FullNameParts{identity.name, identity.version, L"x64", L"en-us", L"ratp2p7zs941j"}));
    EXPECT_EQ(FamilyName(*parts), FamilyName(identity));
    EXPECT_EQ(ParseFamilyName(FamilyName(identity)), (FamilyNameParts{identity.name, L"ratp2p7zs941j"}));
}

TEST(NamesTest, BundleAndX86a64FullNamesParse) {
    PackageIdentity bundle = SampleIdentity();
    bundle.architecture = L"neutral";
    bundle.resourceId = std::wstring(kBundleResourceId);
    EXPECT_EQ(FullName(bundle), L"Oru.Quillmark.Vantor.App.Release_1.2.3.4_neutral_~_ratp2p7zs941j");
    EXPECT_EQ(ParseFullName(FullName(bundle)),
              (FullNameParts{bundle.name, bundle.version, L"neutral", L"~", L"ratp2p7zs941j"}));
    EXPECT_TRUE(ParseFullName(L"Sample.App_1.0.0.0_x86a64__ratp2p7zs941j").has_value());
    EXPECT_FALSE(IsValidResourceId(L"~")) << "no package's own manifest may claim a bundle's resource id";
}

struct BadNameCase {
    std::string name;
    std::wstring text;
};

class BadFullNameTest : public testing::TestWithParam<BadNameCase> {};

TEST_P(BadFullNameTest, IsRefused) { EXPECT_FALSE(ParseFullName(GetParam().text).has_value()); }

INSTANTIATE_TEST_SUITE_P(
    Names, BadFullNameTest,
    testing::Values(BadNameCase{"Empty", L""},
                    BadNameCase{"FamilyNameOnly", L"Sample.App_ratp2p7zs941j"},
                    BadNameCase{"ExtraPart", L"Sample.App_1.0.0.0_x64___ratp2p7zs941j"},
                    BadNameCase{"BadVersion", L"Sample.App_1.0.0_x64__ratp2p7zs941j"},
                    BadNameCase{"BadArchitecture", L"Sample.App_1.0.0.0_mips__ratp2p7zs941j"},
                    BadNameCase{"ShortPublisherId", L"Sample.App_1.0.0.0_x64__ratp2p7zs941"},
                    BadNameCase{"PublisherIdOutsideAlphabet", L"Sample.App_1.0.0.0_x64__ratp2p7zs94il"},
                    BadNameCase{"PathInName", L"../evil_1.0.0.0_x64__ratp2p7zs941j"},
                    BadNameCase{"SlashInResourceId", L"Sample.App_1.0.0.0_x64_a/b_ratp2p7zs941j"},
                    BadNameCase{"ShortName", L"ab_1.0.0.0_x64__ratp2p7zs941j"},
                    BadNameCase{"TildeInResourceId", L"Sample.App_1.0.0.0_neutral_a~_ratp2p7zs941j"}),
    [](const auto& info) { return info.param.name; });

TEST(NamesTest, PackageNameRules) {
    EXPECT_TRUE(IsValidPackageName(L"abc"));
    EXPECT_TRUE(IsValidPackageName(std::wstring(50, L'a')));
    EXPECT_FALSE(IsValidPackageName(std::wstring(51, L'a')));
    EXPECT_FALSE(IsValidPackageName(L"ab"));
    EXPECT_FALSE(IsValidPackageName(L"a_b.c"));
    EXPECT_FALSE(IsValidPackageName(L"a b.c"));
    EXPECT_FALSE(IsValidPackageName(L"a/b.c"));
    EXPECT_FALSE(IsValidPackageName(L"\u00C4bc"));
    EXPECT_TRUE(IsValidResourceId(L""));
    EXPECT_FALSE(IsValidResourceId(std::wstring(31, L'a')));
}
}  // namespace
}  // namespace platform::deployment::local
