// UTF-8 to and from wide text, for the console, URIs, messages and the store's files.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// UTF-8 for wide text; UTF-16 surrogate pairs are joined, and a code point that
// is not a valid scalar value becomes U+FFFD.
std::string ToUtf8(std::wstring_view text);

// Wide text from UTF-8; nullopt when the bytes are not valid UTF-8.
std::optional<std::wstring> FromUtf8(std::string_view bytes);
// The same, with each byte that starts no valid sequence replaced by U+FFFD
// (for texts in messages, which must not fail).
std::wstring FromUtf8Lossy(std::string_view bytes);

// Decodes the code point at `pos` (which must be before the end) and advances
// past it; nullopt for an invalid, overlong or truncated sequence or a
// surrogate, and `pos` then advances by one byte only.
std::optional<char32_t> NextCodePoint(std::string_view bytes, std::size_t& pos);
// Appends the UTF-8 of one code point; one that is not a scalar value becomes U+FFFD.
void AppendUtf8(std::string& out, char32_t codePoint);

}  // namespace platform
