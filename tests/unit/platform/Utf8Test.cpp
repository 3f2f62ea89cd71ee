// UTF-8 to and from wide text.
#include <gtest/gtest.h>

#include <string>

#include "platform/Utf8.h"

namespace platform {
namespace {

TEST(Utf8Test, RoundTripsEveryPlane) {
    const std::wstring text = L"A\u00E9\u4E2D\U0001F600";
    const std::string utf8 = ToUtf8(text);
    EXPECT_EQ(utf8, "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
    EXPECT_EQ(FromUtf8(utf8), text);
}

TEST(Utf8Test, JoinsSurrogatePairsAndReplacesLoneSurrogates) {
    const std::wstring pair = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
    EXPECT_EQ(ToUtf8(pair), "\xF0\x9F\x98\x80");
    const std::wstring lone = {L'a', static_cast<wchar_t>(0xDC00), L'b'};
    EXPECT_EQ(ToUtf8(lone), "a\xEF\xBF\xBD" "b");
}

struct InvalidUtf8Case {
    std::string name;
    std::string bytes;
};

class InvalidUtf8Test : public testing::TestWithParam<InvalidUtf8Case> {};

TEST_P(InvalidUtf8Test, IsRefusedOrReplaced) {
    EXPECT_FALSE(FromUtf8(GetParam().bytes).has_value());
    EXPECT_NE(FromUtf8Lossy(GetParam().bytes).find(L'\uFFFD'), std::wstring::npos);
}

INSTANTIATE_TEST_SUITE_P(Sequences, InvalidUtf8Test,
                         testing::Values(InvalidUtf8Case{"Overlong", "\xC0\xAF"},
                                         InvalidUtf8Case{"OverlongThreeBytes", "\xE0\x80\xAF"},
                                         InvalidUtf8Case{"Surrogate", "\xED\xA0\x80"},
                                         InvalidUtf8Case{"BeyondUnicode", "\xF4\x90\x80\x80"},
                                         InvalidUtf8Case{"Truncated", "ab\xE4\xB8"},
                                         InvalidUtf8Case{"StrayContinuation", "\x80"},
                                         InvalidUtf8Case{"InvalidLead", "\xFF"}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace platform
