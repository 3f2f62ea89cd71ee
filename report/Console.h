// The console stream: wide text in, UTF-8 bytes on standard error out.
//
// Every insertion is one write to the file descriptor (unit-buffered), safe from
// any thread without a lock. The stream keeps no formatting state: a result code
// is rendered hexadecimal only when wrapped in ResultCode, so every other integer
// stays decimal. Write failures are ignored and never observed.
#pragma once

#include <atomic>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Utf8.h"

namespace report {

// A 32-bit result code, rendered as lowercase hexadecimal without leading zeros.
struct ResultCode {
    std::int32_t value;
};

class ConsoleStream {
public:
    explicit ConsoleStream(int fd) noexcept : m_fd(fd) {}
    ConsoleStream(const ConsoleStream&) = delete;
    ConsoleStream& operator=(const ConsoleStream&) = delete;

    ConsoleStream& operator<<(std::wstring_view text) noexcept;
    ConsoleStream& operator<<(const wchar_t* text) noexcept { return *this << std::wstring_view(text); }
    ConsoleStream& operator<<(const std::wstring& text) noexcept { return *this << std::wstring_view(text); }
    ConsoleStream& operator<<(wchar_t ch) noexcept { return *this << std::wstring_view(&ch, 1); }
    ConsoleStream& operator<<(bool value) noexcept { return *this << (value ? L"true" : L"false"); }
    ConsoleStream& operator<<(ResultCode code) noexcept;
    ConsoleStream& operator<<(std::int64_t value) noexcept;
    ConsoleStream& operator<<(std::uint64_t value) noexcept;

    template <std::integral T>
        requires(!std::same_as<T, bool> && !std::same_as<T, wchar_t> && !std::same_as<T, std::int64_t> &&
                 !std::same_as<T, std::uint64_t>)
    ConsoleStream& operator<<(T value) noexcept {
        if constexpr (std::is_signed_v<T>) {
            return *this << static_cast<std::int64_t>(value);
        } else {
            return *this << static_cast<std::uint64_t>(value);
        }
    }

    // Points the stream at another descriptor (tests capture it this way).
    int Redirect(int fd) noexcept { return m_fd.exchange(fd); }

private:
    void Write(std::string_view bytes) noexcept;

    std::atomic<int> m_fd;
};

// The process's console stream, on standard error.
ConsoleStream& Console() noexcept;

using platform::ToUtf8;

}  // namespace report
