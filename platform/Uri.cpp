#include "platform/Uri.h"

#include <uriparser/Uri.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace platform {
namespace {

// A parsed uriparser URI; its ranges point into the text it was parsed from.
class ParsedUri {
public:
    ParsedUri() = default;
    ~ParsedUri() {
        if (m_owned) {
            uriFreeUriMembersA(&m_uri);
        }
    }
    ParsedUri(const ParsedUri&) = delete;
    ParsedUri& operator=(const ParsedUri&) = delete;

    UriUriA* Get() noexcept { return &m_uri; }
    const UriUriA* Get() const noexcept { return &m_uri; }
    const UriUriA* operator->() const noexcept { return &m_uri; }
    // Called once uriparser has filled the structure (it needs freeing then).
    void Own() noexcept { m_owned = true; }

private:
    UriUriA m_uri{};
    bool m_owned = false;
};

// The text uriparser sees: UTF-8 with every byte of a non-ASCII character
// percent-encoded (uriparser accepts ASCII only), and for each of its offsets
// the offset of the character it came from in the original text.
struct EncodedText {
    std::string text;
    std::vector<std::size_t> origin;  // text.size() + 1 entries
    std::optional<std::size_t> invalidAt;  // a character that is not Unicode
};

void AppendEscapedByte(EncodedText& encoded, unsigned byte, std::size_t index) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    encoded.text += '%';
    encoded.text += kHex[(byte >> 4) & 0xF];
    encoded.text += kHex[byte & 0xF];
    encoded.origin.insert(encoded.origin.end(), 3, index);
}

EncodedText Encode(std::wstring_view text) {
    EncodedText encoded;
    encoded.text.reserve(text.size());
    encoded.origin.reserve(text.size() + 1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<std::uint32_t>(text[i]);
        if (c < 0x80) {
            encoded.text += static_cast<char>(c);
            encoded.origin.push_back(i);
        } else if (c < 0x800) {
            AppendEscapedByte(encoded, 0xC0 | (c >> 6), i);
            AppendEscapedByte(encoded, 0x80 | (c & 0x3F), i);
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) {
                encoded.invalidAt = i;
                break;
            }
            AppendEscapedByte(encoded, 0xE0 | (c >> 12), i);
            AppendEscapedByte(encoded, 0x80 | ((c >> 6) & 0x3F), i);
            AppendEscapedByte(encoded, 0x80 | (c & 0x3F), i);
        } else if (c < 0x110000) {
            AppendEscapedByte(encoded, 0xF0 | (c >> 18), i);
            AppendEscapedByte(encoded, 0x80 | ((c >> 12) & 0x3F), i);
            AppendEscapedByte(encoded, 0x80 | ((c >> 6) & 0x3F), i);
            AppendEscapedByte(encoded, 0x80 | (c & 0x3F), i);
        } else {
            encoded.invalidAt = i;
            break;
        }
    }
    encoded.origin.push_back(text.size());
    return encoded;
}

// Turns the percent-encoded UTF-8 of non-ASCII characters back into the
// characters; everything else (ASCII escapes such as %2F, and bytes that do
// not form a character) stays as it is.
std::wstring Decode(const std::string& text) {
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    auto byteAt = [&](std::size_t pos) -> int {
        if (pos + 2 >= text.size() || text[pos] != '%') {
            return -1;
        }
        const int high = hexValue(text[pos + 1]);
        const int low = hexValue(text[pos + 2]);
        return high < 0 || low < 0 ? -1 : high * 16 + low;
    };

    std::wstring decoded;
    decoded.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const int lead = byteAt(i);
        int length = 0;
        std::uint32_t c = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            c = static_cast<std::uint32_t>(lead & 0x1F);
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            c = static_cast<std::uint32_t>(lead & 0x0F);
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            c = static_cast<std::uint32_t>(lead & 0x07);
        }
        bool valid = length > 0;
        for (int k = 1; valid && k < length; ++k) {
            const int next = byteAt(i + 3 * static_cast<std::size_t>(k));
            if (next < 0x80 || next > 0xBF) {
                valid = false;
            } else {
                c = (c << 6) | static_cast<std::uint32_t>(next & 0x3F);
            }
        }
        // Overlong forms, surrogates and values beyond Unicode stay escaped.
        static constexpr std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && c >= kMinimum[length] && !(c >= 0xD800 && c <= 0xDFFF) && c < 0x110000) {
            decoded += static_cast<wchar_t>(c);
            i += 3 * static_cast<std::size_t>(length);
        } else {
            decoded += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
            ++i;
        }
    }
    return decoded;
}

std::wstring Lower(std::wstring text) {
    for (auto& c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return text;
}

[[noreturn]] void Reject(std::wstring_view text, const std::wstring& fault) {
    Throw(kInvalidArgument, L"The URI '" + std::wstring(text) + L"' " + fault + L".");
}

[[noreturn]] void RejectAt(std::wstring_view text, std::size_t position) {
    Reject(text, L"is not valid at position " + std::to_wstring(position));
}

// Parses the text as a URI reference; raises E_INVALIDARG naming the text
// and where it goes wrong.
void Parse(std::wstring_view text, const EncodedText& encoded, ParsedUri& parsed) {
    if (encoded.invalidAt) {
        RejectAt(text, *encoded.invalidAt);
    }
    const char* first = encoded.text.data();
    const char* afterLast = first + encoded.text.size();
    const char* errorPos = nullptr;
    const int result = uriParseSingleUriExA(parsed.Get(), first, afterLast, &errorPos);
    if (result == URI_ERROR_MALLOC) {
        Throw(kOutOfMemory);
    }
    if (result != URI_SUCCESS) {
        const std::size_t offset = errorPos != nullptr && errorPos >= first && errorPos <= afterLast
                                       ? static_cast<std::size_t>(errorPos - first)
                                       : 0;
        RejectAt(text, encoded.origin[offset]);
    }
    parsed.Own();
}

}  // namespace

Uri::Uri(std::wstring_view text) : m_raw(text) {
    if (text.empty()) {
        Reject(text, L"is empty");
    }
    const EncodedText encoded = Encode(text);
    ParsedUri parsed;
    Parse(text, encoded, parsed);
    m_absolute.assign(encoded.text.begin(), encoded.text.end());
    if (parsed->scheme.first == nullptr) {
        Reject(text, L"is not absolute");
    }

    const char* base = encoded.text.data();
    // Each part is taken from the original text, so it reads as written
    // (non-ASCII characters included), not as the escaped text parsed.
    auto original = [&](const char* first, const char* afterLast) {
        const std::size_t begin = encoded.origin[static_cast<std::size_t>(first - base)];
        const std::size_t end = encoded.origin[static_cast<std::size_t>(afterLast - base)];
        return std::wstring(text.substr(begin, end - begin));
    };
    auto part = [&](const UriTextRangeA& range) {
        // An empty part may point at the library's own storage, not the text.
        if (range.first == nullptr || range.first == range.afterLast) {
            return std::wstring();
        }
        return original(range.first, range.afterLast);
    };

    m_scheme = Lower(part(parsed->scheme));
    m_host = Lower(part(parsed->hostText));
    m_query = part(parsed->query);

    if (parsed->portText.first != nullptr && parsed->portText.first != parsed->portText.afterLast) {
        long port = 0;
        for (const char* p = parsed->portText.first; p != parsed->portText.afterLast; ++p) {
            port = port * 10 + (*p - '0');
            if (port > 65535) {
                RejectAt(text, encoded.origin[static_cast<std::size_t>(parsed->portText.first - base)]);
            }
        }
        m_port = static_cast<int>(port);
    }

    // The path runs from the end of the authority (or of the scheme's colon)
    // to the query or fragment. Found in the text itself: uriparser's empty
    // segments do not point into the text.
    const std::string& escaped = encoded.text;
    std::size_t pathBegin = static_cast<std::size_t>(parsed->scheme.afterLast - base) + 1;
    if (escaped.compare(pathBegin, 2, "//") == 0) {
        pathBegin = std::min(escaped.find_first_of("/?#", pathBegin + 2), escaped.size());
    }
    const std::size_t pathEnd = std::min(escaped.find_first_of("?#", pathBegin), escaped.size());
    m_path = original(base + pathBegin, base + pathEnd);
}

Uri Uri::CombineUri(std::wstring_view relative) const {
    const EncodedText baseText = Encode(m_raw);
    ParsedUri base;
    Parse(m_raw, baseText, base);

    const EncodedText referenceText = Encode(relative);
    ParsedUri reference;
    Parse(relative, referenceText, reference);

    ParsedUri combined;
    const int result = uriAddBaseUriExA(combined.Get(), reference.Get(), base.Get(), URI_RESOLVE_STRICTLY);
    if (result == URI_ERROR_MALLOC) {
        Throw(kOutOfMemory);
    }
    if (result != URI_SUCCESS) {
        Reject(relative, L"cannot be resolved against '" + m_raw + L"'");
    }
    combined.Own();

    // Neither call can fail for a URI the library itself resolved.
    int length = 0;
    if (uriToStringCharsRequiredA(combined.Get(), &length) != URI_SUCCESS) {
        Throw(kUnexpected);
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    if (uriToStringA(text.data(), combined.Get(), length + 1, nullptr) != URI_SUCCESS) {
        Throw(kUnexpected);
    }
    text.resize(text.find('\0'));
    // Back to characters, so a non-ASCII name reads as it was given.
    return Uri(Decode(text));
}

}  // namespace platform
