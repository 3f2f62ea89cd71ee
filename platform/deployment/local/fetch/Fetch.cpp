#include "platform/deployment/local/fetch/Fetch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileError.h"
#include "platform/deployment/local/fetch/DownloadWriter.h"
#include "platform/deployment/local/fetch/HttpTransfer.h"
#include "platform/deployment/local/fetch/SourceRules.h"

namespace platform::deployment::local {
namespace {

// Reads up to size bytes; 0 at the end.
std::size_t ReadSome(const FileDescriptor& file, char* buffer, std::size_t size, const Uri& uri) {
    for (;;) {
        const ssize_t n = ::read(file.Get(), buffer, size);
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno != EINTR) {
            const int error = errno;  // read before the text is built
            ThrowFileError(error, L"Cannot read " + uri.RawUri());
        }
    }
}

}  // namespace

void ThrowTooLarge(const Uri& uri, std::size_t limit) {
    constexpr std::size_t kMiB = 1024 * 1024;
    const std::wstring size = limit % kMiB == 0 ? std::to_wstring(limit / kMiB) + L" MiB"
                                                : std::to_wstring(limit) + L" bytes";
    Throw(kInvalidAppInstallerFile, L"The file at " + uri.RawUri() + L" is larger than " + size + L".");
}

namespace {

const wchar_t* KindOf(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFDIR: return L"a folder";
        case S_IFIFO: return L"a named pipe";
        case S_IFCHR: return L"a character device";
        case S_IFBLK: return L"a block device";
        case S_IFSOCK: return L"a socket";
        default: return L"not a regular file";
    }
}

void RequireRegular(const struct stat& status, const Uri& uri) {
    if (!S_ISREG(status.st_mode)) {
        Throw(kInvalidArgument, L"Refused " + uri.RawUri() + L": it is " + KindOf(status.st_mode) + L", not a file.");
    }
}

}  // namespace

// Looked at before opening (opening a device can have effects of its own), and
// again once open, without waiting for a writer: it may have been swapped.
FileDescriptor OpenForReading(const Uri& uri) {
    const std::filesystem::path path = LocalPath(uri);
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        RequireRegular(status, uri);
    }
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.Get() < 0) {
        const int error = errno;  // read before the text is built
        ThrowFileError(error, L"Cannot open " + uri.RawUri());
    }
    if (::fstat(file.Get(), &status) != 0) {
        const int error = errno;
        ThrowFileError(error, L"Cannot open " + uri.RawUri());
    }
    RequireRegular(status, uri);
    ::fcntl(file.Get(), F_SETFL, ::fcntl(file.Get(), F_GETFL) & ~O_NONBLOCK);
    return file;
}

std::filesystem::path LocalPath(const Uri& uri) {
    const std::string path = PercentDecode(ToUtf8(uri.Path()));
    if (path.find('\0') != std::string::npos || path.empty() || path.front() != '/') {
        Throw(kInvalidArgument, L"Refused " + uri.RawUri() + L": it does not name a local file.");
    }
    return path;
}

std::string FetchText(const Uri& uri, std::size_t limit, const FetchOptions& options) {
    CheckSource(uri);
    std::string text;
    if (uri.SchemeName() == L"file") {
        const FileDescriptor file = OpenForReading(uri);
        char buffer[65536];
        while (const std::size_t n = ReadSome(file, buffer, sizeof buffer, uri)) {
            if (text.size() + n > limit) {
                ThrowTooLarge(uri, limit);
            }
            text.append(buffer, n);
        }
        return text;
    }
    HttpGet(uri, options, limit, [&](const char* data, std::size_t size) { text.append(data, size); });
    return text;
}

void FetchToFile(const Uri& uri, const std::filesystem::path& destination, const FetchOptions& options) {
    CheckSource(uri);
    if (uri.SchemeName() == L"file") {
        Throw(kInvalidArgument, L"Refused " + uri.RawUri() + L": a local file is read where it lies, not copied.");
    }
    FileDescriptor out(::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (out.Get() < 0) {
        const int error = errno;  // read before the text is built
        ThrowFileError(error, L"Cannot create " + PathText(destination));
    }
    DownloadWriter writer(out, destination, uri, options.diskReserve);
    std::uint64_t written = 0;
    HttpGet(uri, options, std::nullopt, [&](const char* data, std::size_t size) {
        writer.Write(written, data, size);
        written += size;
    });
    writer.Flush();
    if (const int error = out.Close(); error != 0) {
        ThrowFileError(error, L"Cannot write " + PathText(destination));
    }
}

}  // namespace platform::deployment::local
