#include "platform/deployment/local/FileError.h"

#include <sys/statvfs.h>
#include <unistd.h>

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

void CheckFreeSpace(int fd, std::uint64_t needed, std::uint64_t reserve, std::wstring_view what) {
    struct statvfs space {};
    if (::fstatvfs(fd, &space) != 0) {
        return;  // a file system that cannot say is written until it is full
    }
    const std::uint64_t available = static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
    if (available < reserve || available - reserve < needed) {
        constexpr std::uint64_t kMiB = 1024 * 1024;
        Throw(kStoreDiskFull, L"Not enough free space for " + std::wstring(what) + L": " +
                                  std::to_wstring((needed + kMiB - 1) / kMiB) + L" MiB needed, " +
                                  std::to_wstring(available / kMiB) + L" MiB free, of which " +
                                  std::to_wstring(reserve / kMiB) + L" MiB are kept free.");
    }
}

void Flush(int fd, std::wstring_view what) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) {
            const int error = errno;  // read before the text is built
            ThrowFileError(error, L"Cannot flush " + std::wstring(what) + L" to disk");
        }
    }
}

std::wstring PathText(const std::filesystem::path& path) { return FromUtf8Lossy(path.native()); }

}  // namespace platform::deployment::local
