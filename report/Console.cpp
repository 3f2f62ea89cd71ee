#include "report/Console.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace report {

void ConsoleStream::Write(std::string_view bytes) noexcept {
    const int fd = m_fd.load(std::memory_order_relaxed);
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // closed or broken: the tool's results do not depend on its output
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

ConsoleStream& ConsoleStream::operator<<(std::wstring_view text) noexcept {
    if (text.empty()) {
        return *this;
    }
    try {
        Write(ToUtf8(text));
    } catch (...) {
        // Out of memory while encoding: the text is lost, the work goes on.
    }
    return *this;
}

ConsoleStream& ConsoleStream::operator<<(ResultCode code) noexcept {
    char buffer[16];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::uint32_t>(code.value), 16);
    Write(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
    return *this;
}

ConsoleStream& ConsoleStream::operator<<(std::int64_t value) noexcept {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    Write(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
    return *this;
}

ConsoleStream& ConsoleStream::operator<<(std::uint64_t value) noexcept {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    Write(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
    return *this;
}

ConsoleStream& Console() noexcept {
    static ConsoleStream stream(STDERR_FILENO);
    return stream;
}

}  // namespace report
