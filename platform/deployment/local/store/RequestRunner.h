// Runs a deployment request on the worker threads: a fresh activity id, real
// progress, and a failure turned into the result's code and error text.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/Async.h"
#include "platform/Error.h"
#include "platform/deployment/PackageManager.h"

namespace platform::deployment::local {

// A request's progress: whole percentages, each reported once, only upwards.
class ProgressReporter {
public:
    using Completer = AsyncCompleter<DeploymentResult, DeploymentProgress>;

    explicit ProgressReporter(Completer completer) : m_completer(std::move(completer)) {}

    void Report(std::uint32_t percentage);
    // A share (0 to 1) of the span from `from` to `to`.
    void Report(std::uint32_t from, std::uint32_t to, double share);

private:
    Completer m_completer;
    std::optional<std::uint32_t> m_last;
};

// A failure that the request reports under the deployment's own code, with
// the code of the layer that failed (the packaging library's, say) as its
// extended error code.
class DeploymentFailure : public PlatformError {
public:
    DeploymentFailure(hresult code, hresult extendedCode, std::wstring text)
        : PlatformError(code, ErrorInfo{code, std::nullopt, std::move(text)}), m_extendedCode(extendedCode) {}
    hresult ExtendedCode() const noexcept { return m_extendedCode; }

private:
    hresult m_extendedCode;
};

// The request's work: returns whether it registered a package for the user;
// `cancelled` turns true when the caller cancels.
using RequestWork = std::function<bool(ProgressReporter& progress, const std::atomic<bool>& cancelled)>;

// Starts a request. It reports 0 % at once and 100 % when the work returns; a
// failure ends it with the Error status, the code as the extended error code
// (a DeploymentFailure's own extended code) and a text that says what went
// wrong (out of memory ends it with the code alone).
DeploymentOperation StartRequest(RequestWork work);

// A request that changes the store in one step: 0 % before it, 100 % after.
DeploymentOperation StartChange(std::function<void()> change);

}  // namespace platform::deployment::local
