#include "platform/Error.h"

#include <new>
#include <stdexcept>
#include <utility>

#include "platform/Utf8.h"

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

void Throw(const Failure& failure) {
    if (failure.code == kOutOfMemory) {
        throw std::bad_alloc();
    }
    if (failure.info) {
        throw PlatformError(failure.code, *failure.info);
    }
    throw PlatformError(failure.code);
}

std::wstring ErrorText(const PlatformError& error) {
    const auto& info = error.Info();
    if (!info || info->code != error.Code()) {
        return SystemMessage(error.Code());
    }
    if (info->restrictedDescription && !info->restrictedDescription->empty()) {
        return *info->restrictedDescription;
    }
    return info->description.value_or(std::wstring());
}

namespace {

Failure WithText(hresult code, const char* what) {
    return {code, ErrorInfo{code, std::nullopt, FromUtf8Lossy(what)}};
}

}  // namespace

Failure CurrentFailure() noexcept {
    try {
        try {
            throw;
        } catch (const PlatformError& error) {
            return {error.Code(), error.Info()};
        } catch (const std::bad_alloc&) {
            return {kOutOfMemory, std::nullopt};
        } catch (const std::out_of_range& error) {
            return WithText(kBounds, error.what());
        } catch (const std::invalid_argument& error) {
            return WithText(kInvalidArgument, error.what());
        } catch (const std::exception& error) {
            return WithText(kFail, error.what());
        } catch (...) {
            // The home platform's runtime would end the process here; a
            // failure of unknown kind is still only an unspecified failure.
            return {kFail, std::nullopt};
        }
    } catch (...) {
        // Copying the information or its text ran out of memory.
        return {kOutOfMemory, std::nullopt};
    }
}

}  // namespace platform
