// Puts a download's bytes in place in its file, leaving the disk reserve free.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/Uri.h"
#include "platform/deployment/local/FileDescriptor.h"
#include "platform/deployment/local/FileError.h"

namespace platform::deployment::local {

class DownloadWriter {
public:
    DownloadWriter(const FileDescriptor& file, const std::filesystem::path& path, const Uri& uri, std::uint64_t reserve)
        : m_file(file), m_path(path), m_uri(uri), m_reserve(reserve) {}

    // The free space is looked at before the first byte and then every so often.
    void Write(std::uint64_t offset, const char* data, std::size_t size) {
        m_unchecked += size;
        if (m_unchecked >= kSpaceCheckInterval) {
            CheckFreeSpace(m_file.Get(), m_unchecked, m_reserve, L"the download of " + m_uri.RawUri());
            m_unchecked = 0;
        }
        while (size > 0) {
            const ssize_t n = ::pwrite(m_file.Get(), data, size, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                const int error = n < 0 ? errno : EIO;  // read before the text is built
                ThrowFileError(error, L"Cannot write " + PathText(m_path));
            }
            data += n;
            size -= static_cast<std::size_t>(n);
            offset += static_cast<std::uint64_t>(n);
        }
    }

private:
    static constexpr std::uint64_t kSpaceCheckInterval = 1024 * 1024;

    const FileDescriptor& m_file;
    const std::filesystem::path& m_path;
    const Uri& m_uri;
    std::uint64_t m_reserve;
    std::uint64_t m_unchecked = kSpaceCheckInterval;
};

}  // namespace platform::deployment::local
