// The platform's failure: a 32-bit result code with optional error information,
// and the system message table for the codes the tool and the store produce.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace platform {

using hresult = std::int32_t;

constexpr hresult ToHresult(std::uint32_t code) { return static_cast<hresult>(code); }

constexpr hresult kOk = 0;
constexpr hresult kNotImplemented = ToHresult(0x80004001);
constexpr hresult kPointer = ToHresult(0x80004003);
constexpr hresult kAbort = ToHresult(0x80004004);
constexpr hresult kFail = ToHresult(0x80004005);
constexpr hresult kUnexpected = ToHresult(0x8000FFFF);
constexpr hresult kBounds = ToHresult(0x8000000B);
constexpr hresult kIllegalMethodCall = ToHresult(0x8000000E);
constexpr hresult kIllegalDelegateAssignment = ToHresult(0x80000018);
constexpr hresult kClassNotRegistered = ToHresult(0x80040154);
constexpr hresult kFileNotFound = ToHresult(0x80070002);
constexpr hresult kPathNotFound = ToHresult(0x80070003);
constexpr hresult kAccessDenied = ToHresult(0x80070005);
constexpr hresult kOutOfMemory = ToHresult(0x8007000E);
constexpr hresult kInvalidArgument = ToHresult(0x80070057);
constexpr hresult kDiskFull = ToHresult(0x80070070);
constexpr hresult kNotFound = ToHresult(0x80070490);
constexpr hresult kCancelled = ToHresult(0x800704C7);

constexpr bool Failed(hresult code) { return code < 0; }

// What the platform recorded about a failure; each text may be absent.
struct ErrorInfo {
    hresult code = kOk;
    std::optional<std::wstring> description;
    std::optional<std::wstring> restrictedDescription;
};

class PlatformError : public std::exception {
public:
    explicit PlatformError(hresult code) noexcept;
    PlatformError(hresult code, ErrorInfo info);

    hresult Code() const noexcept { return m_code; }
    const std::optional<ErrorInfo>& Info() const noexcept { return m_info; }
    const char* what() const noexcept override;

private:
    hresult m_code;
    std::optional<ErrorInfo> m_info;
};

// A failure as an operation keeps it: plain values that each caller raises
// afresh, so no exception object is shared between threads.
struct Failure {
    hresult code = kOk;
    std::optional<ErrorInfo> info;
};

// Raise a failure code: std::bad_alloc for out of memory, PlatformError otherwise.
[[noreturn]] void Throw(hresult code);
// The same, with error information recorded for that code.
[[noreturn]] void Throw(hresult code, std::wstring restrictedDescription);
// The same, with the information kept with the failure, if any.
[[noreturn]] void Throw(const Failure& failure);

// The failure that the exception being handled stands for, as the home
// platform's runtime turns one at a coroutine's boundary: a PlatformError keeps
// its code and information; std::bad_alloc is 0x8007000E; std::out_of_range
// 0x8000000B, std::invalid_argument 0x80070057 and any other std::exception
// 0x80004005, each with its what() text (UTF-8, read lossily) as the restricted
// description; anything else 0x80004005 without information. Without memory for
// the text it is 0x8007000E. Call it only inside a handler (catch block).
Failure CurrentFailure() noexcept;

// The operating system's text for a code, as the home platform words it; empty
// for a code it does not know.
std::wstring SystemMessage(hresult code);

// What an error says to its reader: when its information was recorded for its
// own code, the restricted description unless empty, else the description,
// else nothing; without such information, SystemMessage(code). Untrimmed.
std::wstring ErrorText(const PlatformError& error);

}  // namespace platform
