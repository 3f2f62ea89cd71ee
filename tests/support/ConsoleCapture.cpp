#include "tests/support/ConsoleCapture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <stdexcept>

#include "report/Console.h"

namespace test_support {

ConsoleCapture::ConsoleCapture() : m_fd(::memfd_create("console", 0)) {
    if (m_fd < 0) {
        throw std::runtime_error("memfd_create failed");
    }
    // Writers on several threads share one offset; appending keeps every line.
    ::fcntl(m_fd, F_SETFL, O_APPEND);
    m_previous = report::Console().Redirect(m_fd);
}

ConsoleCapture::~ConsoleCapture() {
    report::Console().Redirect(m_previous);
    ::close(m_fd);
}

std::string ConsoleCapture::Text() const {
    std::string text;
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(m_fd, buffer, sizeof buffer, offset);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
    return text;
}

}  // namespace test_support
