// An owned POSIX file descriptor, and a write and a read that finish or say why not.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace platform::deployment::local {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) noexcept : m_fd(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            Reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { Reset(); }

    int Get() const noexcept { return m_fd; }
    explicit operator bool() const noexcept { return m_fd >= 0; }
    // Closes, returning close()'s error (0 when none): a failed close can be a lost write.
    int Close() noexcept {
        const int fd = std::exchange(m_fd, -1);
        return fd >= 0 && ::close(fd) != 0 ? errno : 0;
    }

private:
    void Reset() noexcept {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

    int m_fd = -1;
};

// Writes all of `data`, retrying interrupted and short writes; the error
// number of a failure, 0 when none.
inline int WriteAll(const FileDescriptor& file, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t written = ::write(file.Get(), data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

// Reads `size` bytes at `offset`, retrying interrupted and short reads; fewer
// only at the end of the file, or on a failure (errno then says which).
inline std::size_t ReadAllAt(const FileDescriptor& file, char* data, std::size_t size, std::uint64_t offset) noexcept {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(file.Get(), data + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

}  // namespace platform::deployment::local
