// UTF-8 of wide text, for the console and for the store's files and messages.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// UTF-8 for wide text; UTF-16 surrogate pairs are joined, and a code point that
// is not a valid scalar value becomes U+FFFD.
std::string ToUtf8(std::wstring_view text);

}  // namespace platform
