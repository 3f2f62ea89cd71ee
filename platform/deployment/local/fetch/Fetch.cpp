#include "platform/deployment/local/fetch/Fetch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileError.h"
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

FileDescriptor OpenForReading(const Uri& uri) {
    const std::filesystem::path path = LocalPath(uri);
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0) {
        const int error = errno;  // read before the text is built
        ThrowFileError(error, L"Cannot open " + uri.RawUri());
    }
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
    HttpGet(uri, options, std::nullopt, [&](const char* data, std::size_t size) {
        if (const int error = WriteAll(out, data, size); error != 0) {
            ThrowFileError(error, L"Cannot write " + PathText(destination));
        }
    });
    if (const int error = out.Close(); error != 0) {
        ThrowFileError(error, L"Cannot write " + PathText(destination));
    }
}

}  // namespace platform::deployment::local
