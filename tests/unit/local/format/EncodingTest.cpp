// Base64 as the package readers decode it.
#include <gtest/gtest.h>

#include <string>

#include "platform/deployment/local/format/Encoding.h"

namespace platform::deployment::local {
namespace {

struct Base64Case {
    std::string name;
    std::string text;
    std::optional<std::string> decoded;
};

class Base64Test : public testing::TestWithParam<Base64Case> {};

TEST_P(Base64Test, DecodesStrictly) {
    const auto decoded = DecodeBase64(GetParam().text);
    ASSERT_EQ(decoded.has_value(), GetParam().decoded.has_value());
    if (decoded) {
        EXPECT_EQ(std::string(decoded->begin(), decoded->end()), *GetParam().decoded);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, Base64Test,
                         testing::Values(Base64Case{"Empty", "", std::string()},
                                         Base64Case{"NoPadding", "YWJj", std::string("abc")},
                                         Base64Case{"OnePad", "YWI=", std::string("ab")},
                                         Base64Case{"TwoPads", "YQ==", std::string("a")},
                                         Base64Case{"AllSymbols", "+/+/", std::string("\xFB\xFF\xBF")},
                                         Base64Case{"MissingPadding", "YQ", std::nullopt},
                                         Base64Case{"PaddingInside", "YQ==YWJj", std::nullopt},
                                         Base64Case{"ThreePads", "Y===", std::nullopt},
                                         Base64Case{"UnusedBitsSet", "YR==", std::nullopt},
                                         Base64Case{"UrlAlphabet", "-_-_", std::nullopt},
                                         Base64Case{"Whitespace", "YWJj ", std::nullopt}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace platform::deployment::local
