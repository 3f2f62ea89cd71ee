// Unicode's simple case folding, by which the home platform's file system
// takes names that differ only in case for one name.
#pragma once

#include <string>
#include <string_view>

namespace platform::deployment::local {

// The code point's simple case folding (itself when it has none).
char32_t FoldCase(char32_t codePoint);

// UTF-8 text with every character folded; a byte that starts no valid
// sequence stays as it is.
std::string FoldCase(std::string_view text);

}  // namespace platform::deployment::local
