// What a call raises as a PlatformError: its code and the text it gives the user.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "platform/Error.h"

namespace test_support {

// The text a PlatformError gives the user, as the tool reports it (untrimmed).
inline std::wstring TextOf(const platform::PlatformError& error) { return platform::ErrorText(error); }

struct Raised {
    platform::hresult code = platform::kOk;
    std::wstring text;
};

// The code and text of the PlatformError the call raises; code 0 when it raises
// nothing. Anything else it raises passes on and fails the test.
template <typename Call>
Raised FailureOf(Call&& call) {
    try {
        std::forward<Call>(call)();
    } catch (const platform::PlatformError& error) {
        return {error.Code(), TextOf(error)};
    }
    return {};
}

template <typename Call>
platform::hresult CodeOf(Call&& call) {
    return FailureOf(std::forward<Call>(call)).code;
}

// The failure `action` raises as a PlatformError, or nullopt (with a test
// failure) when it raises nothing or something else.
inline std::optional<platform::PlatformError> CaptureFailure(const std::function<void()>& action) {
    try {
        action();
    } catch (const platform::PlatformError& error) {
        return error;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "unexpected exception: " << error.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "no failure was raised";
    return std::nullopt;
}

}  // namespace test_support
