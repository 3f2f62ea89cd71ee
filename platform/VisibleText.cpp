#include "platform/VisibleText.h"

#include <utility>

namespace platform {
namespace {

bool NeedsEscape(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::wstring VisibleText(std::wstring_view text) {
    static constexpr wchar_t kHex[] = L"0123456789abcdef";
    std::wstring visible;
    visible.reserve(text.size());
    for (const wchar_t wide : text) {
        const auto c = static_cast<char32_t>(wide);
        if (!NeedsEscape(c)) {
            visible += wide;
            continue;
        }
        const int digits = c < 0x100 ? 2 : 4;
        visible += c < 0x100 ? L"\\x" : L"\\u";
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
            visible += kHex[(c >> shift) & 0xF];
        }
    }
    return visible;
}

PlatformError WithVisibleText(const PlatformError& error) {
    if (!error.Info()) {
        return error;
    }
    ErrorInfo info = *error.Info();
    for (auto* text : {&info.description, &info.restrictedDescription}) {
        if (*text) {
            **text = VisibleText(**text);
        }
    }
    return PlatformError(error.Code(), std::move(info));
}

}  // namespace platform
