// The one error report line: "<context> error: code=0x<code>, message=<message>\n".
#pragma once

#include <string>
#include <string_view>

#include "platform/Error.h"

namespace report {

// The message for an error: platform::ErrorText with trailing white space removed.
std::wstring ErrorMessage(const platform::PlatformError& error);

void LogError(std::wstring_view context, const platform::PlatformError& error) noexcept;

}  // namespace report
