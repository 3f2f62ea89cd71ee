#include "report/LogError.h"

#include <cwctype>

#include "report/Console.h"

namespace report {

std::wstring ErrorMessage(const platform::PlatformError& error) {
    std::wstring message = platform::ErrorText(error);
    while (!message.empty() && std::iswspace(static_cast<wint_t>(message.back()))) {
        message.pop_back();
    }
    return message;
}

void LogError(std::wstring_view context, const platform::PlatformError& error) noexcept {
    std::wstring message;
    try {
        message = ErrorMessage(error);
    } catch (...) {
        // Without memory for the text the line still says which code failed.
    }
    Console() << context << L" error: code=0x" << ResultCode{error.Code()} << L", message=" << message << L'\n';
}

}  // namespace report
