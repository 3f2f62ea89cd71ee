// The platform's URI class: an absolute URI parsed from a wide string.
#pragma once

#include <string>
#include <string_view>

namespace platform {

class Uri {
public:
    // Raises PlatformError 0x80070057, with a restricted description that names
    // the text and the fault, for an empty, relative or malformed text.
    explicit Uri(std::wstring_view text);

    const std::wstring& RawUri() const noexcept { return m_raw; }
    // The text with every non-ASCII character percent-encoded as UTF-8: the
    // form to hand to a network or file library.
    const std::wstring& AbsoluteUri() const noexcept { return m_absolute; }
    const std::wstring& SchemeName() const noexcept { return m_scheme; }  // lower case, without ':'
    const std::wstring& Host() const noexcept { return m_host; }          // lower case; no brackets around IPv6
    int Port() const noexcept { return m_port; }                          // -1 when not given
    const std::wstring& Path() const noexcept { return m_path; }          // as written, still escaped
    const std::wstring& Query() const noexcept { return m_query; }        // without '?'

    // Resolves a reference (absolute or relative) against this URI; a malformed
    // reference raises as the constructor does.
    Uri CombineUri(std::wstring_view relative) const;

private:
    std::wstring m_raw;
    std::wstring m_absolute;
    std::wstring m_scheme;
    std::wstring m_host;
    int m_port = -1;
    std::wstring m_path;
    std::wstring m_query;
};

// Percent-decoding, leniently: each '%' followed by two hexadecimal digits
// (either case) becomes the byte they give, "%00" a NUL; every other byte, a
// '%' that starts no such escape and a '+' among them, stays as it is.
std::string PercentDecode(std::string_view text);

}  // namespace platform
