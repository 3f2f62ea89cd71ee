#include "platform/deployment/local/format/Version.h"

#include <array>

namespace platform::deployment::local {

std::optional<Version> Version::Parse(std::wstring_view text) {
    std::array<std::uint16_t, 4> parts{};
    std::size_t pos = 0;
    for (std::size_t index = 0; index < parts.size(); ++index) {
        if (index > 0) {
            if (pos >= text.size() || text[pos] != L'.') {
                return std::nullopt;
            }
            ++pos;
        }
        const std::size_t start = pos;
        std::uint32_t value = 0;
        while (pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9') {
            value = value * 10 + static_cast<std::uint32_t>(text[pos] - L'0');
            if (value > 65535) {
                return std::nullopt;
            }
            ++pos;
        }
        const std::size_t digits = pos - start;
        if (digits == 0 || (digits > 1 && text[start] == L'0')) {
            return std::nullopt;
        }
        parts[index] = static_cast<std::uint16_t>(value);
    }
    if (pos != text.size()) {
        return std::nullopt;
    }
    return Version{parts[0], parts[1], parts[2], parts[3]};
}

std::wstring Version::ToString() const {
    return std::to_wstring(major) + L'.' + std::to_wstring(minor) + L'.' + std::to_wstring(build) + L'.' +
           std::to_wstring(revision);
}

}  // namespace platform::deployment::local
