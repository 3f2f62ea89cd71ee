// Points the console stream at a temporary file for the life of the object.
#pragma once

#include <string>

namespace test_support {

class ConsoleCapture {
public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Every byte written to the console stream since the capture began.
    std::string Text() const;

private:
    int m_fd;
    int m_previous;
};

}  // namespace test_support
