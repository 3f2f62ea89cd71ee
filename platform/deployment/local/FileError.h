// Turns a failed file operation (an errno value) into the platform's failure.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/Error.h"

namespace platform::deployment::local {

// 0x80070002 no such file, 0x80070003 no such folder, 0x80070005 access denied,
// 0x80073CF4 disk full, 0x8007000E out of memory, 0x80004005 anything else.
hresult CodeFromErrno(int error) noexcept;

// The system's description of an error number (thread-safe, unlike strerror).
std::wstring ErrnoText(int error);

// Raises the code for `error` with "<what>: <the system's description>".
[[noreturn]] void ThrowFileError(int error, std::wstring_view what);

// Raises 0x80073CF4 unless the file system holding `fd` has `needed` bytes
// free beyond `reserve` (the space the store leaves to the rest of the system).
void CheckFreeSpace(int fd, std::uint64_t needed, std::uint64_t reserve, std::wstring_view what);

// Flushes the file or folder `fd` to stable storage; raises naming `what`.
void Flush(int fd, std::wstring_view what);

// A path as text for messages.
std::wstring PathText(const std::filesystem::path& path);

}  // namespace platform::deployment::local
