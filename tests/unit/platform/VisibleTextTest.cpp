// Outside text made safe to show: no control or bidirectional override reaches a terminal.
#include <gtest/gtest.h>

#include <string>

#include "platform/VisibleText.h"

namespace platform {
namespace {

struct VisibleCase {
    std::string name;
    std::wstring text;
    std::wstring visible;
};

class VisibleTextTest : public testing::TestWithParam<VisibleCase> {};

TEST_P(VisibleTextTest, EscapesWhatWouldDriveTheTerminal) {
    EXPECT_EQ(VisibleText(GetParam().text), GetParam().visible);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, VisibleTextTest,
    testing::Values(VisibleCase{"PlainAndNonAsciiStay", L"Caf\u00E9 \u4E2D \\x41 \U0001F600", L"Caf\u00E9 \u4E2D \\x41 \U0001F600"},
                    VisibleCase{"LineBreaks", L"a\r\nAdd package completed\n", L"a\\x0d\\x0aAdd package completed\\x0a"},
                    VisibleCase{"EscapeSequences", L"\x1b[2J\x1b]0;t\x07", L"\\x1b[2J\\x1b]0;t\\x07"},
                    VisibleCase{"NulTabAndDelete", std::wstring(L"\0\t\x7f", 3), L"\\x00\\x09\\x7f"},
                    VisibleCase{"C1Controls", L"\u0080\u009b2J\u009f\u00a0", L"\\x80\\x9b2J\\x9f\u00a0"},
                    VisibleCase{"BidiOverrides", L"\u2029\u202a\u202e\u202f\u2065\u2066\u2069\u206a",
                                L"\u2029\\u202a\\u202e\u202f\u2065\\u2066\\u2069\u206a"}),
    [](const auto& info) { return info.param.name; });

TEST(VisibleTextTest, AnErrorKeepsItsCodeAndShowsItsTextsVisibly) {
    const PlatformError raw(kInvalidArgument, ErrorInfo{kInvalidArgument, L"d\n", L"r\x1b"});
    const PlatformError visible = WithVisibleText(raw);
    EXPECT_EQ(visible.Code(), kInvalidArgument);
    ASSERT_TRUE(visible.Info().has_value());
    EXPECT_EQ(visible.Info()->description, L"d\\x0a");
    EXPECT_EQ(visible.Info()->restrictedDescription, L"r\\x1b");
}

}  // namespace
}  // namespace platform
