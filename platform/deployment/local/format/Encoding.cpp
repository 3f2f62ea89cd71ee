#include "platform/deployment/local/format/Encoding.h"

#include <array>

namespace platform::deployment::local {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at `pos`, advancing it; nullopt for an invalid,
// overlong or truncated sequence (pos then advances by one byte).
std::optional<char32_t> NextCodePoint(std::string_view bytes, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(bytes[pos]);
    std::size_t length = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        ++pos;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, c = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, c = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, c = lead & 0x07, minimum = 0x10000;
    } else {
        ++pos;
        return std::nullopt;
    }
    if (bytes.size() - pos < length) {
        ++pos;
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(bytes[pos + i]);
        if ((next & 0xC0) != 0x80) {
            ++pos;
            return std::nullopt;
        }
        c = (c << 6) | (next & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++pos;
        return std::nullopt;
    }
    pos += length;
    return c;
}

}  // namespace

std::optional<std::wstring> FromUtf8(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (std::size_t pos = 0; pos < bytes.size();) {
        const auto c = NextCodePoint(bytes, pos);
        if (!c) {
            return std::nullopt;
        }
        out += static_cast<wchar_t>(*c);
    }
    return out;
}

std::wstring FromUtf8Lossy(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (std::size_t pos = 0; pos < bytes.size();) {
        out += static_cast<wchar_t>(NextCodePoint(bytes, pos).value_or(kReplacement));
    }
    return out;
}

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
