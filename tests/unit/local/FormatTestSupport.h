// Helpers shared by the package format tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/Error.h"

namespace platform::deployment::local::testing_support {

// The failure `action` raises as a PlatformError, or nullopt (with a test
// failure) when it raises nothing or something else.
inline std::optional<PlatformError> CaptureFailure(const std::function<void()>& action) {
    try {
        action();
    } catch (const PlatformError& error) {
        return error;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "unexpected exception: " << error.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "no failure was raised";
    return std::nullopt;
}

inline std::wstring TextOf(const PlatformError& error) {
    return error.Info() && error.Info()->restrictedDescription ? *error.Info()->restrictedDescription
                                                               : std::wstring();
}

// A fresh folder, removed with everything in it at the end of the test.
class TempDirectory {
public:
    TempDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "appdeploy-format-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = pattern;
    }
    ~TempDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::filesystem::path& Path() const noexcept { return m_path; }

private:
    std::filesystem::path m_path;
};

}  // namespace platform::deployment::local::testing_support
