#include "platform/Error.h"

#include <new>

namespace platform {

PlatformError::PlatformError(hresult code) noexcept : m_code(code) {}

PlatformError::PlatformError(hresult code, ErrorInfo info) : m_code(code), m_info(std::move(info)) {}

const char* PlatformError::what() const noexcept { return "platform error"; }

void Throw(hresult code) {
    if (code == kOutOfMemory) {
        throw std::bad_alloc();
    }
    throw PlatformError(code);
}

void Throw(hresult code, std::wstring restrictedDescription) {
    if (code == kOutOfMemory) {
        throw std::bad_alloc();
    }
    throw PlatformError(code, ErrorInfo{code, std::nullopt, std::move(restrictedDescription)});
}

hresult CodeOf(const std::exception_ptr& failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const PlatformError& error) {
        return error.Code();
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (...) {
        return kFail;
    }
}

}  // namespace platform
