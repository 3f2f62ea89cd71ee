#include "platform/Uri.h"

#include <uriparser/Uri.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/VisibleText.h"

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
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<char32_t>(text[i]);
        if (c < 0x80) {
            encoded.text += static_cast<char>(c);
            encoded.origin.push_back(i);
            continue;
        }
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            encoded.invalidAt = i;
            break;
        }
        bytes.clear();
        AppendUtf8(bytes, c);
        for (const char byte : bytes) {
            AppendEscapedByte(encoded, static_cast<unsigned char>(byte), i);
        }
    }
    encoded.origin.push_back(text.size());
    return encoded;
}

// Whether an escape of a byte above 0x7F, "%XX", starts at `pos`.
bool IsEscapedHighByte(std::string_view text, std::size_t pos) {
    constexpr std::string_view kHighDigits = "89ABCDEFabcdef";
    constexpr std::string_view kDigits = "0123456789ABCDEFabcdef";
    return pos + 2 < text.size() && text[pos] == '%' && kHighDigits.find(text[pos + 1]) != std::string_view::npos &&
           kDigits.find(text[pos + 2]) != std::string_view::npos;
}

// Turns the percent-encoded UTF-8 of non-ASCII characters back into the
// characters; everything else (ASCII escapes such as %2F, and bytes that do
// not form a character) stays exactly as written.
std::wstring Decode(std::string_view text) {
    std::wstring decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t end = i;
        while (IsEscapedHighByte(text, end)) {
            end += 3;
        }
        if (end == i) {
            decoded += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        const std::string bytes = PercentDecode(text.substr(i, end - i));
        for (std::size_t pos = 0; pos < bytes.size();) {
            const std::size_t escape = i + 3 * pos;
            if (const auto c = NextCodePoint(bytes, pos)) {
                decoded += static_cast<wchar_t>(*c);
            } else {
                decoded.append(text.begin() + static_cast<std::ptrdiff_t>(escape),
                               text.begin() + static_cast<std::ptrdiff_t>(escape + 3));
            }
        }
        i = end;
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
    Throw(kInvalidArgument, L"The URI '" + VisibleText(text) + L"' " + fault + L".");
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

std::string PercentDecode(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    // uriparser reads up to a NUL, so each stretch between literal NULs is
    // unescaped on its own; "%00" yields a NUL inside a stretch, which the
    // returned end pointer keeps.
    for (std::size_t begin = 0;;) {
        const std::size_t end = std::min(text.find('\0', begin), text.size());
        std::string stretch(text.substr(begin, end - begin));
        const char* afterLast = uriUnescapeInPlaceExA(stretch.data(), URI_FALSE, URI_BR_DONT_TOUCH);
        decoded.append(stretch.data(), static_cast<std::size_t>(afterLast - stretch.data()));
        if (end == text.size()) {
            return decoded;
        }
        decoded += '\0';
        begin = end + 1;
    }
}

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
        Reject(relative, L"cannot be resolved against '" + VisibleText(m_raw) + L"'");
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
