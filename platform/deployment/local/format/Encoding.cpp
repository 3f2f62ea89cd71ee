#include "platform/deployment/local/format/Encoding.h"

#include <array>

namespace platform::deployment::local {

std::string FoldAsciiCase(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text) {
    static constexpr std::array<std::int8_t, 256> kValues = [] {
        std::array<std::int8_t, 256> values{};
        values.fill(-1);
        constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
            values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
        }
        return values;
    }();

    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    }
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const std::size_t significant = last ? 4 - padding : 4;
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            std::int8_t value = 0;
            if (j < significant) {
                value = kValues[static_cast<unsigned char>(text[i + j])];
                if (value < 0) {
                    return std::nullopt;
                }
            }
            group = (group << 6) | static_cast<std::uint32_t>(value);
        }
        out.push_back(static_cast<std::uint8_t>(group >> 16));
        if (significant >= 3) {
            out.push_back(static_cast<std::uint8_t>(group >> 8));
        } else if ((group & 0xFFFF) != 0) {
            return std::nullopt;
        }
        if (significant == 4) {
            out.push_back(static_cast<std::uint8_t>(group));
        } else if ((group & 0xFF) != 0) {
            return std::nullopt;
        }
    }
    return out;
}

}  // namespace platform::deployment::local
