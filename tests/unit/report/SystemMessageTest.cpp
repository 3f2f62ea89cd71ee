#include <gtest/gtest.h>

#include <string>

#include "platform/Error.h"

namespace {

using platform::ToHresult;

struct MessageCase {
    std::string name;
    std::uint32_t code;
    std::wstring text;
};

class SystemMessage : public testing::TestWithParam<MessageCase> {};

TEST_P(SystemMessage, IsTheHomePlatformsText) {
    EXPECT_EQ(platform::SystemMessage(ToHresult(GetParam().code)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, SystemMessage,
    testing::Values(MessageCase{"AccessDenied", 0x80070005, L"Access is denied."},
                    MessageCase{"InvalidArgument", 0x80070057, L"The parameter is incorrect."},
                    MessageCase{"Cancelled", 0x800704C7, L"The operation was canceled by the user."},
                    MessageCase{"FirstInTable", 0x8000000E, L"A method was called at an unexpected time."},
                    MessageCase{"LastInTable", 0x8008020C, L"The .appinstaller file is not valid."},
                    MessageCase{"PackageNotFound", 0x80073CF1, L"Package was not found."},
                    MessageCase{"HttpNotFound", 0x80190194, L"Not found (404)."},
                    MessageCase{"HttpForbidden", 0x80190193, L"Forbidden (403)."},
                    MessageCase{"HttpFirst", 0x8019012C, L"Multiple choices (300)."},
                    MessageCase{"HttpLast", 0x801901F9, L"HTTP version not supported (505)."},
                    MessageCase{"HttpStatusWithoutText", 0x801901A7, L""},
                    MessageCase{"StatusNumberWithoutFacility", 0x00000194, L""},
                    MessageCase{"StatusNumberInAnotherFacility", 0x80070194, L""},
                    MessageCase{"Success", 0x00000000, L""},
                    MessageCase{"Unknown", 0x80001234, L""},
                    MessageCase{"AllBitsSet", 0xFFFFFFFF, L""}),
    [](const testing::TestParamInfo<MessageCase>& info) { return info.param.name; });

}  // namespace
