#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "report/Console.h"
#include "tests/support/ConsoleCapture.h"

namespace {

struct Utf8Case {
    std::string name;
    std::wstring text;
    std::string bytes;
};

class ConsoleUtf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(ConsoleUtf8, KeepsEveryCharacter) {
    test_support::ConsoleCapture console;
    report::Console() << GetParam().text;
    EXPECT_EQ(console.Text(), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ConsoleUtf8,
    testing::Values(Utf8Case{"Ascii", L"Add package completed\n", "Add package completed\n"},
                    Utf8Case{"Empty", L"", ""},
                    Utf8Case{"ControlCharacters", L"\rProgress: \n", "\rProgress: \n"},
                    Utf8Case{"TwoBytes", L"Paket nicht gefunden: caf\u00e9", "Paket nicht gefunden: caf\xc3\xa9"},
                    Utf8Case{"ThreeBytes", L"\u20ac\u4e2d", "\xe2\x82\xac\xe4\xb8\xad"},
                    Utf8Case{"OutsideTheBasicPlane", L"\U0001F4E6", "\xf0\x9f\x93\xa6"},
                    Utf8Case{"SurrogatePairFromUtf16", std::wstring{wchar_t(0xD83D), wchar_t(0xDCE6)}, "\xf0\x9f\x93\xa6"},
                    Utf8Case{"LoneHighSurrogate", std::wstring{L'a', wchar_t(0xD83D), L'b'}, "a\xef\xbf\xbd" "b"},
                    Utf8Case{"LoneLowSurrogate", std::wstring{wchar_t(0xDCE6)}, "\xef\xbf\xbd"},
                    Utf8Case{"BeyondUnicode", std::wstring{wchar_t(0x110000)}, "\xef\xbf\xbd"},
                    Utf8Case{"EmbeddedNul", std::wstring(L"a\0b", 3), std::string("a\0b", 3)}),
    [](const testing::TestParamInfo<Utf8Case>& info) { return info.param.name; });

TEST(ConsoleValues, AreRenderedByTheirKind) {
    test_support::ConsoleCapture console;
    report::Console() << true << L' ' << false << L' ' << 30 << L' ' << -5 << L' ' << std::uint8_t{7} << L' '
                      << std::numeric_limits<std::uint64_t>::max() << L' ' << std::numeric_limits<std::int64_t>::min()
                      << L' ' << report::ResultCode{static_cast<std::int32_t>(0x800704C7u)} << L' ' << report::ResultCode{1} << L' '
                      << report::ResultCode{0} << L' ' << 255;
    EXPECT_EQ(console.Text(),
              "true false 30 -5 7 18446744073709551615 -9223372036854775808 800704c7 1 0 255");
}

TEST(ConsoleValues, WideStringsAndCharacters) {
    test_support::ConsoleCapture console;
    const std::wstring name = L"Name_1.0.0.0_x64__abc";
    report::Console() << L"Starting remove package: " << name << L'\n' << std::wstring_view(L"view");
    EXPECT_EQ(console.Text(), "Starting remove package: Name_1.0.0.0_x64__abc\nview");
}

// Bytes written to a descriptor that appends, as standard error on a terminal,
// a pipe or a file opened for appending does: each write lands whole.
class AppendingCapture {
public:
    AppendingCapture() : m_fd(::memfd_create("appending", MFD_CLOEXEC)) {
        if (m_fd >= 0) {
            ::fcntl(m_fd, F_SETFL, O_APPEND);
        }
        m_previous = report::Console().Redirect(m_fd);
    }
    ~AppendingCapture() {
        report::Console().Redirect(m_previous);
        ::close(m_fd);
    }
    AppendingCapture(const AppendingCapture&) = delete;
    AppendingCapture& operator=(const AppendingCapture&) = delete;

    std::string Text() const {
        std::string text;
        char buffer[4096];
        for (off_t offset = 0;;) {
            const ssize_t n = ::pread(m_fd, buffer, sizeof buffer, offset);
            if (n <= 0) {
                return text;
            }
            text.append(buffer, static_cast<std::size_t>(n));
            offset += n;
        }
    }

private:
    int m_fd;
    int m_previous;
};

TEST(ConsoleThreads, EveryInsertionArrivesWhole) {
    constexpr int kThreads = 8;
    constexpr int kLines = 200;
    AppendingCapture console;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            // Long enough that a split write would show.
            const std::wstring line = L"thread " + std::to_wstring(t) + L" " + std::wstring(500, L'\u00e9') + L"\n";
            for (int i = 0; i < kLines; ++i) {
                report::Console() << line;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    std::map<std::string, int> seen;
    std::istringstream lines(console.Text());
    for (std::string line; std::getline(lines, line);) {
        ++seen[line];
    }
    std::string body;
    for (int i = 0; i < 500; ++i) {
        body += "\xc3\xa9";
    }
    EXPECT_EQ(seen.size(), std::size_t{kThreads});
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(seen["thread " + std::to_string(t) + " " + body], kLines) << "thread " << t;
    }
}

TEST(ConsoleFailures, WriteToAClosedDescriptorIsIgnored) {
    const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const int previous = report::Console().Redirect(fd);
    report::Console() << L"lost\n" << 30 << true << report::ResultCode{5};
    report::Console().Redirect(previous);

    test_support::ConsoleCapture console;
    report::Console() << L"still writing\n";
    EXPECT_EQ(console.Text(), "still writing\n");
}

TEST(ConsoleFailures, WriteToAPipeWithoutReaderIsIgnored) {
    // The tool ignores SIGPIPE at start; the write then fails with EPIPE.
    const auto previousHandler = std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::close(fds[0]);
    const int previous = report::Console().Redirect(fds[1]);
    report::Console() << L"lost\n";
    report::Console().Redirect(previous);
    ::close(fds[1]);
    std::signal(SIGPIPE, previousHandler);

    test_support::ConsoleCapture console;
    report::Console() << L"still writing\n";
    EXPECT_EQ(console.Text(), "still writing\n");
}

}  // namespace
