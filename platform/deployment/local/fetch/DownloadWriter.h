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

    // Gathers the transfer's small pieces into larger writes; `offset` is
    // where the piece belongs in the file.
    void Write(std::uint64_t offset, const char* data, std::size_t size) {
        if (!m_buffer.empty() && offset != m_bufferStart + m_buffer.size()) {
            Flush();
        }
        if (m_buffer.empty()) {
            m_bufferStart = offset;
        }
        m_buffer.append(data, size);
        if (m_buffer.size() >= kBufferSize) {
            Flush();
        }
    }

    // Where the bytes written so far reach (from the first write on).
    std::uint64_t Written() const noexcept { return m_bufferStart; }

    // Writes what is gathered; returns where the file's bytes now reach.
    std::uint64_t Flush() {
        WriteNow(m_bufferStart, m_buffer.data(), m_buffer.size());
        m_bufferStart += m_buffer.size();
        m_buffer.clear();
        return m_bufferStart;
    }

private:
    static constexpr std::uint64_t kSpaceCheckInterval = 1024 * 1024;
    static constexpr std::size_t kBufferSize = 256 * 1024;

    // The free space is looked at before the first byte and then every so often.
    void WriteNow(std::uint64_t offset, const char* data, std::size_t size) {
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

    const FileDescriptor& m_file;
    const std::filesystem::path& m_path;
    const Uri& m_uri;
    std::uint64_t m_reserve;
    std::uint64_t m_unchecked = kSpaceCheckInterval;
    std::string m_buffer;
    std::uint64_t m_bufferStart = 0;
};

}  // namespace platform::deployment::local
