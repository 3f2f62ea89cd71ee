// The binary encoding and the case rule the package formats need: base64,
// and ASCII case folding for names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::deployment::local {

// The text with A-Z turned into a-z: names that differ only so are the same
// name to a package (other letters are compared as they are).
std::string FoldAsciiCase(std::string_view text);

// Standard base64 with padding, strictly: nullopt for any other character,
// missing or misplaced padding, or non-zero unused bits.
std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text);

}  // namespace platform::deployment::local
