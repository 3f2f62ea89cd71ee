#include "platform/deployment/local/FileError.h"

#include <cerrno>
#include <cstring>

#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"

namespace platform::deployment::local {

hresult CodeFromErrno(int error) noexcept {
    switch (error) {
        case ENOENT:
            return kFileNotFound;
        case ENOTDIR:
            return kPathNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return kAccessDenied;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return kStoreDiskFull;
        case ENOMEM:
            return kOutOfMemory;
        default:
            return kFail;
    }
}

std::wstring ErrnoText(int error) {
    char buffer[256];
    // The GNU strerror_r returns the text, not always in the buffer.
    return FromUtf8Lossy(::strerror_r(error, buffer, sizeof buffer));
}

void ThrowFileError(int error, std::wstring_view what) {
    Throw(CodeFromErrno(error), std::wstring(what) + L": " + ErrnoText(error));
}

std::wstring PathText(const std::filesystem::path& path) { return FromUtf8Lossy(path.native()); }

}  // namespace platform::deployment::local
