// Publisher ids, family and full names, and versions.
#include <gtest/gtest.h>

#include <string>

#include "platform/deployment/local/Names.h"
#include "platform/deployment/local/Version.h"

namespace platform::deployment::local {
namespace {

struct PublisherIdCase {
    std::string name;
    std::wstring publisher;
    std::wstring id;
};

class FormatPublisherIdTest : public testing::TestWithParam<PublisherIdCase> {};

TEST_P(FormatPublisherIdTest, MatchesKnownId) {
    EXPECT_EQ(PublisherId(GetParam().publisher), GetParam().id);
}

INSTANTIATE_TEST_SUITE_P(
    Publishers, FormatPublisherIdTest,
    testing::Values(PublisherIdCase{"Plain", L"CN=Oru Quillmark", L"ratp2p7zs941j"},
                    PublisherIdCase{"Example", L"CN=Example Publisher", L"z273n21bg6mp0"},
                    PublisherIdCase{"SeveralParts", L"CN=Oru Quillmark, O=Oru Quillmark Ltd, C=NZ", L"n3tr78ktpta9p"},
                    PublisherIdCase{"NonAscii", L"CN=\u00DCn\u00EFcode Publisher", L"gt1g5mg02s02r"}),
    [](const auto& info) { return info.param.name; });

PackageIdentity SampleIdentity() {
    return PackageIdentity{L"Oru.Quillmark.Vantor.App.Release", L"CN=Oru Quillmark", Version{1, 2, 3, 4}, L"x64", L""};
}

TEST(FormatNamesTest, FamilyAndFullNames) {
    PackageIdentity identity = SampleIdentity();
    EXPECT_EQ(FamilyName(identity), L"Oru.Quillmark.Vantor.App.Release_ratp2p7zs941j");
    EXPECT_EQ(FullName(identity), L"Oru.Quillmark.Vantor.App.Release_1.2.3.4_x64__ratp2p7zs941j");
    identity.resourceId = L"en-us";
    EXPECT_EQ(FullName(identity), L"Oru.Quillmark.Vantor.App.Release_1.2.3.4_x64_en-us_ratp2p7zs941j");
}

TEST(FormatNamesTest, ParsedFullNameGivesBackItsParts) {
    PackageIdentity identity = SampleIdentity();
    identity.resourceId = L"en-us";
    const auto parts = ParseFullName(FullName(identity));
    ASSERT_TRUE(parts.has_value());
    EXPECT_EQ(*parts, (FullNameParts{identity.name, identity.version, L"x64", L"en-us", L"ratp2p7zs941j"}));
    EXPECT_EQ(FamilyName(*parts), FamilyName(identity));
    EXPECT_EQ(ParseFamilyName(FamilyName(identity)), (FamilyNameParts{identity.name, L"ratp2p7zs941j"}));
}

struct BadNameCase {
    std::string name;
    std::wstring text;
};

class FormatBadFullNameTest : public testing::TestWithParam<BadNameCase> {};

TEST_P(FormatBadFullNameTest, IsRefused) { EXPECT_FALSE(ParseFullName(GetParam().text).has_value()); }

INSTANTIATE_TEST_SUITE_P(
    Names, FormatBadFullNameTest,
    testing::Values(BadNameCase{"Empty", L""},
                    BadNameCase{"FamilyNameOnly", L"Sample.App_ratp2p7zs941j"},
                    BadNameCase{"ExtraPart", L"Sample.App_1.0.0.0_x64___ratp2p7zs941j"},
                    BadNameCase{"BadVersion", L"Sample.App_1.0.0_x64__ratp2p7zs941j"},
                    BadNameCase{"BadArchitecture", L"Sample.App_1.0.0.0_mips__ratp2p7zs941j"},
                    BadNameCase{"ShortPublisherId", L"Sample.App_1.0.0.0_x64__ratp2p7zs941"},
                    BadNameCase{"PublisherIdOutsideAlphabet", L"Sample.App_1.0.0.0_x64__ratp2p7zs94il"},
                    BadNameCase{"PathInName", L"../evil_1.0.0.0_x64__ratp2p7zs941j"},
                    BadNameCase{"SlashInResourceId", L"Sample.App_1.0.0.0_x64_a/b_ratp2p7zs941j"},
                    BadNameCase{"ShortName", L"ab_1.0.0.0_x64__ratp2p7zs941j"}),
    [](const auto& info) { return info.param.name; });

TEST(FormatNamesTest, PackageNameRules) {
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

struct VersionCase {
    std::string name;
    std::wstring text;
    std::optional<Version> expected;
};

class FormatVersionParseTest : public testing::TestWithParam<VersionCase> {};

TEST_P(FormatVersionParseTest, ParsesStrictly) {
    const auto& param = GetParam();
    const auto version = Version::Parse(param.text);
    EXPECT_EQ(version, param.expected);
    if (version) {
        EXPECT_EQ(version->ToString(), param.text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, FormatVersionParseTest,
    testing::Values(VersionCase{"Simple", L"1.0.0.0", Version{1, 0, 0, 0}},
                    VersionCase{"AllParts", L"1.2.3.4", Version{1, 2, 3, 4}},
                    VersionCase{"Largest", L"65535.65535.65535.65535", Version{65535, 65535, 65535, 65535}},
                    VersionCase{"ZeroMajor", L"0.1.0.0", Version{0, 1, 0, 0}},
                    VersionCase{"TooLarge", L"65536.0.0.0", std::nullopt},
                    VersionCase{"VeryLarge", L"1.99999999999999999999.0.0", std::nullopt},
                    VersionCase{"ThreeParts", L"1.0.0", std::nullopt},
                    VersionCase{"FiveParts", L"1.0.0.0.0", std::nullopt},
                    VersionCase{"EmptyPart", L"1..0.0", std::nullopt},
                    VersionCase{"TrailingDot", L"1.0.0.0.", std::nullopt},
                    VersionCase{"Sign", L"+1.0.0.0", std::nullopt},
                    VersionCase{"Negative", L"1.-1.0.0", std::nullopt},
                    VersionCase{"Space", L"1.0.0.0 ", std::nullopt},
                    VersionCase{"LeadingZero", L"1.01.0.0", std::nullopt},
                    VersionCase{"Letters", L"1.0.0.a", std::nullopt},
                    VersionCase{"FullWidthDigit", L"1.0.0.\uFF11", std::nullopt},
                    VersionCase{"Empty", L"", std::nullopt}),
    [](const auto& info) { return info.param.name; });

TEST(FormatVersionTest, OrdersPartByPartNumerically) {
    const std::vector<std::wstring> ascending = {L"1.0.0.0", L"1.0.0.1", L"1.0.0.10", L"1.0.2.0",
                                                 L"1.3.0.0", L"2.0.0.0", L"10.0.0.0", L"65535.0.0.0"};
    for (std::size_t i = 0; i + 1 < ascending.size(); ++i) {
        const Version lower = *Version::Parse(ascending[i]);
        const Version higher = *Version::Parse(ascending[i + 1]);
        EXPECT_LT(lower, higher) << testing::PrintToString(ascending[i]);
        EXPECT_GT(higher, lower);
        EXPECT_NE(lower, higher);
    }
    EXPECT_EQ(*Version::Parse(L"3.2.1.0"), (Version{3, 2, 1, 0}));
}

}  // namespace
}  // namespace platform::deployment::local
