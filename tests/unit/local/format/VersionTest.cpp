// Package versions: strict parsing and their order.
#include <gtest/gtest.h>

#include <string>

#include "platform/deployment/local/format/Version.h"

namespace platform::deployment::local {
namespace {

struct VersionCase {
    std::string name;
    std::wstring text;
    std::optional<Version> expected;
};

class VersionParseTest : public testing::TestWithParam<VersionCase> {};

TEST_P(VersionParseTest, ParsesStrictly) {
    const auto& param = GetParam();
    const auto version = Version::Parse(param.text);
    EXPECT_EQ(version, param.expected);
    if (version) {
        EXPECT_EQ(version->ToString(), param.text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionParseTest,
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

TEST(VersionTest, OrdersPartByPartNumerically) {
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
