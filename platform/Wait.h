// The blocking wait on an operation, for a caller that is no coroutine: the
// top of the tool, and tests.
#pragma once

#include <memory>

#include "platform/Apartment.h"
#include "platform/Async.h"
#include "platform/Error.h"

namespace platform {

// Blocks, with no time-out, until the operation has finished; returns its final
// status. Only an operation still running gets a completion handler (its one).
template <typename Operation>
AsyncStatus WaitForStatus(const Operation& operation) {
    if (const AsyncStatus status = operation.Status(); status != AsyncStatus::Started) {
        return status;
    }
    // Shared with the handler, which still holds it after the wait has returned.
    struct Waiting {
        Event finished;
        AsyncStatus status = AsyncStatus::Started;
    };
    auto waiting = std::make_shared<Waiting>();
    operation.Completed([waiting](const auto&, AsyncStatus status) {
        waiting->status = status;
        waiting->finished.Set();
    });
    waiting->finished.Wait();
    return waiting->status;
}

// Waits as WaitForStatus does, then raises 0x800704C7 for a cancelled operation
// and otherwise returns GetResults(), as co_await does.
template <typename Operation>
auto WaitForResults(const Operation& operation) {
    if (WaitForStatus(operation) == AsyncStatus::Canceled) {
        Throw(kCancelled);
    }
    return operation.GetResults();
}

}  // namespace platform
