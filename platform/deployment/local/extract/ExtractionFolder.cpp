#include "platform/deployment/local/extract/ExtractionFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Error.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileError.h"

namespace platform::deployment::local {
namespace {

// Only disk-full and access problems get codes of their own here: a missing
// folder in the destination is not a missing file of the user's.
[[noreturn]] void FailIo(const std::wstring& what, int error) {
    hresult code = kFail;
    if (error == ENOSPC || error == EDQUOT) {
        code = kStoreDiskFull;
    } else if (error == EACCES || error == EPERM || error == EROFS) {
        code = kAccessDenied;
    }
    Throw(code, what + L" (" + ErrnoText(error) + L").");
}

}  // namespace

// How many bytes are written between two looks at the free space.
constexpr std::uint64_t kSpaceCheckInterval = 4 * 1024 * 1024;
// How many bytes of a large file are written before the disk is asked to take
// them, so that it works while we inflate the rest.
constexpr std::uint64_t kWritebackInterval = 4 * 1024 * 1024;

ExtractionFolder::ExtractionFolder(const std::filesystem::path& destination, std::uint64_t diskReserve)
    : m_destination(destination), m_diskReserve(diskReserve) {
    m_root = FileDescriptor(open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!m_root) {
        Throw(kInvalidArgument,
              L"The destination folder \"" + PathText(destination) + L"\" is not a folder that can be opened.");
    }
    std::error_code error;
    if (!std::filesystem::is_empty(destination, error) || error) {
        Throw(kInvalidArgument, L"The destination folder \"" + PathText(destination) + L"\" is not empty.");
    }
}

void ExtractionFolder::Reserve(std::uint64_t bytes) {
    CheckFreeSpace(m_root.Get(), bytes, m_diskReserve, L"the package's files in \"" + PathText(m_destination) + L"\"");
    m_unchecked = 0;
}

int ExtractionFolder::Folder(std::string_view relative) {
    if (relative.empty()) {
        return m_root.Get();
    }
    if (relative == m_cachedFolder) {
        return m_cachedFd.Get();
    }
    FileDescriptor current;
    int parent = m_root.Get();
    std::size_t start = 0;
    while (start <= relative.size()) {
        auto end = relative.find('/', start);
        if (end == std::string_view::npos) {
            end = relative.size();
        }
        const std::string segment(relative.substr(start, end - start));
        if (mkdirat(parent, segment.c_str(), 0755) != 0 && errno != EEXIST) {
            const int error = errno;  // before building the text can change it
            FailIo(L"The folder \"" + Path(relative.substr(0, end)) + L"\" cannot be created", error);
        }
        FileDescriptor next(openat(parent, segment.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            const int error = errno;
            FailIo(L"The folder \"" + Path(relative.substr(0, end)) + L"\" cannot be opened", error);
        }
        current = std::move(next);
        parent = current.Get();
        start = end + 1;
    }
    m_cachedFolder = relative;
    m_cachedFd = std::move(current);
    return m_cachedFd.Get();
}

FileDescriptor ExtractionFolder::CreateFile(std::string_view name, bool executable) {
    const auto slash = name.rfind('/');
    const int folder = Folder(slash == std::string_view::npos ? std::string_view() : name.substr(0, slash));
    const std::string leaf(slash == std::string_view::npos ? name : name.substr(slash + 1));
    FileDescriptor file(openat(folder, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                               executable ? 0755 : 0644));
    if (!file) {
        const int error = errno;
        FailIo(L"The file \"" + Path(name) + L"\" cannot be created", error);
    }
    return file;
}

void ExtractionFolder::Write(const FileDescriptor& file, std::string_view name, const char* data, std::size_t size) {
    m_unchecked += size;
    if (m_unchecked >= kSpaceCheckInterval) {
        Reserve(m_unchecked);
    }
    if (const int error = WriteAll(file, data, size); error != 0) {
        FailIo(L"The file \"" + Path(name) + L"\" cannot be written", error);
    }
    m_unsent += size;
    if (m_unsent >= kWritebackInterval) {
        StartWriteback(file);
    }
}

void ExtractionFolder::Rewind(const FileDescriptor& file, std::string_view name) {
    if (::ftruncate(file.Get(), 0) != 0 || ::lseek(file.Get(), 0, SEEK_SET) != 0) {
        const int error = errno;
        FailIo(L"The file \"" + Path(name) + L"\" cannot be written", error);
    }
}

void ExtractionFolder::Finish(FileDescriptor& file, std::string_view name) {
    StartWriteback(file);
    if (const int error = file.Close(); error != 0) {
        FailIo(L"The file \"" + Path(name) + L"\" cannot be written", error);
    }
}

void ExtractionFolder::StartWriteback(const FileDescriptor& file) {
    // Only a head start: a failure to write shows in Flush.
    ::sync_file_range(file.Get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    m_unsent = 0;
}

void ExtractionFolder::Flush() {
    // syncfs reports a failure to write any of the file system's data since
    // the destination was opened, so also one of a file closed before.
    if (::syncfs(m_root.Get()) != 0) {
        const int error = errno;
        FailIo(L"The folder \"" + PathText(m_destination) + L"\" cannot be written", error);
    }
}

std::wstring ExtractionFolder::Path(std::string_view relative) const {
    return PathText(m_destination / std::filesystem::path(std::string(relative)));
}

}  // namespace platform::deployment::local
