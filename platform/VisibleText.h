// Text from outside (URIs, names, file contents, server replies) made safe to
// show on a terminal, as the platform's texts are.
#pragma once

#include <string>
#include <string_view>

#include "platform/Error.h"

namespace platform {

// The text with each control character (U+0000-U+001F, U+007F-U+009F) and
// each bidirectional override (U+202A-U+202E, U+2066-U+2069) written as a
// visible escape: "\x1b" below U+0100, "\u202e" above. Such a text can neither
// start a line of its own nor drive the terminal it is shown on.
std::wstring VisibleText(std::wstring_view text);

// The same error with every text of its information made visible.
PlatformError WithVisibleText(const PlatformError& error);

}  // namespace platform
