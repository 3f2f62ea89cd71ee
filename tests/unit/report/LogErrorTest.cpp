#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/Error.h"
#include "report/Console.h"
#include "report/LogError.h"
#include "tests/support/ConsoleCapture.h"

namespace {

using platform::ErrorInfo;
using platform::PlatformError;
using platform::ToHresult;

constexpr platform::hresult kUnknownCode = ToHresult(0x80001234);

struct LogErrorCase {
    std::string name;
    PlatformError error;
    std::string expected;
};

class LogError : public testing::TestWithParam<LogErrorCase> {};

TEST_P(LogError, WritesOneReportLine) {
    const LogErrorCase& c = GetParam();
    test_support::ConsoleCapture console;
    report::LogError(L"Add package", c.error);
    EXPECT_EQ(console.Text(), c.expected);
}

PlatformError WithInfo(std::uint32_t code, std::uint32_t recordedFor, std::optional<std::wstring> description,
                       std::optional<std::wstring> restrictedDescription) {
    return PlatformError(ToHresult(code),
                         ErrorInfo{ToHresult(recordedFor), std::move(description), std::move(restrictedDescription)});
}

INSTANTIATE_TEST_SUITE_P(
    Reports, LogError,
    testing::Values(
        LogErrorCase{"FailureCodeHasEightDigits", PlatformError(platform::kAccessDenied),
                     "Add package error: code=0x80070005, message=Access is denied.\n"},
        LogErrorCase{"SmallCodeHasNoZeroFill", PlatformError(1), "Add package error: code=0x1, message=\n"},
        LogErrorCase{"DigitsAreLowercase", PlatformError(platform::kCancelled),
                     "Add package error: code=0x800704c7, message=The operation was canceled by the user.\n"},
        LogErrorCase{"HttpStatusText", PlatformError(ToHresult(0x80190194)),
                     "Add package error: code=0x80190194, message=Not found (404).\n"},
        LogErrorCase{"RestrictedDescriptionWins", WithInfo(0x80070005, 0x80070005, L"general", L"restricted"),
                     "Add package error: code=0x80070005, message=restricted\n"},
        LogErrorCase{"EmptyRestrictedDescriptionGivesWayToTheDescription",
                     WithInfo(0x80070005, 0x80070005, L"general", L""),
                     "Add package error: code=0x80070005, message=general\n"},
        LogErrorCase{"DescriptionWithoutRestricted", WithInfo(0x80070005, 0x80070005, L"general", std::nullopt),
                     "Add package error: code=0x80070005, message=general\n"},
        LogErrorCase{"EmptyDescriptionKeepsTheSystemTextOut", WithInfo(0x80070005, 0x80070005, L"", std::nullopt),
                     "Add package error: code=0x80070005, message=\n"},
        LogErrorCase{"InfoWithoutTextsKeepsTheSystemTextOut",
                     WithInfo(0x80070005, 0x80070005, std::nullopt, std::nullopt),
                     "Add package error: code=0x80070005, message=\n"},
        LogErrorCase{"InfoForAnotherCodeIsIgnored", WithInfo(0x80070005, 0x80004005, L"general", L"restricted"),
                     "Add package error: code=0x80070005, message=Access is denied.\n"},
        LogErrorCase{"NoTextAnywhere", PlatformError(kUnknownCode), "Add package error: code=0x80001234, message=\n"},
        LogErrorCase{"TrailingLineBreakTrimmed", WithInfo(0x80004005, 0x80004005, std::nullopt, L"It broke.\r\n"),
                     "Add package error: code=0x80004005, message=It broke.\n"},
        LogErrorCase{"TrailingSpacesAndTabsTrimmed", WithInfo(0x80004005, 0x80004005, L"It broke. \t  ", std::nullopt),
                     "Add package error: code=0x80004005, message=It broke.\n"},
        LogErrorCase{"InnerWhiteSpaceKept", WithInfo(0x80004005, 0x80004005, L"  Line one.\r\nLine two.\n", std::nullopt),
                     "Add package error: code=0x80004005, message=  Line one.\r\nLine two.\n"},
        LogErrorCase{"OnlyWhiteSpaceIsNoText", WithInfo(0x80004005, 0x80004005, L" \r\n", std::nullopt),
                     "Add package error: code=0x80004005, message=\n"},
        LogErrorCase{"NonAsciiText", WithInfo(0x80073CF1, 0x80073CF1, std::nullopt, L"Paket nicht gefunden: caf\u00e9"),
                     "Add package error: code=0x80073cf1, message=Paket nicht gefunden: caf\xc3\xa9\n"}),
    [](const testing::TestParamInfo<LogErrorCase>& info) { return info.param.name; });

TEST(LogErrorContext, IsWrittenUnchanged) {
    test_support::ConsoleCapture console;
    report::LogError(L"Remove packages", PlatformError(platform::kNotFound));
    report::LogError(L"", PlatformError(platform::kNotFound));
    EXPECT_EQ(console.Text(),
              "Remove packages error: code=0x80070490, message=Element not found.\n"
              " error: code=0x80070490, message=Element not found.\n");
}

TEST(LogErrorNumbers, LaterIntegersStayDecimal) {
    test_support::ConsoleCapture console;
    report::LogError(L"Add package", PlatformError(platform::kAccessDenied));
    report::Console() << L"\rProgress: " << 30u << L"%" << L" count=" << 30 << L" big=" << std::int64_t{255};
    EXPECT_EQ(console.Text(),
              "Add package error: code=0x80070005, message=Access is denied.\n"
              "\rProgress: 30% count=30 big=255");
}

}  // namespace
