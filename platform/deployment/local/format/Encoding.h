// Text and binary encodings the package formats need: UTF-8 and base64.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Utf8.h"

namespace platform::deployment::local {

using platform::ToUtf8;
// A wide string from UTF-8; nullopt when the bytes are not valid UTF-8.
std::optional<std::wstring> FromUtf8(std::string_view bytes);
// The same, with each invalid sequence replaced by U+FFFD (for texts in messages).
std::wstring FromUtf8Lossy(std::string_view bytes);

// The text with A-Z turned into a-z: names that differ only so are the same
// name to a package (other letters are compared as they are).
std::string FoldAsciiCase(std::string_view text);

// Standard base64 with padding, strictly: nullopt for any other character,
// missing or misplaced padding, or non-zero unused bits.
std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text);

}  // namespace platform::deployment::local
