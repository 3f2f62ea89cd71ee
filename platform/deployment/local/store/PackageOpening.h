// A fault of a package's format as the platform's deployment reports it: the
// package could not be opened (0x80073CF0), the packaging library's code as
// the extended one.
#pragma once

#include "platform/Error.h"
#include "platform/deployment/local/store/RequestRunner.h"

namespace platform::deployment::local {

// The faults the deployment reports so: the ZIP layer's (0x8051xxxx) and the
// package layer's 0x80080202, 0x80080203, 0x80080205 and 0x80080206. An
// invalid manifest (0x80080204) and a block whose hash does not match
// (0x80080207) it reports under their own codes.
bool IsOpeningFault(hresult code);

// The DeploymentFailure for such a fault, its text naming both codes.
[[noreturn]] void ThrowOpeningFailure(const PlatformError& error);

// Runs `open`, raising its format faults as the deployment reports them.
template <typename Open>
auto Opening(Open&& open) -> decltype(open()) {
    try {
        return open();
    } catch (const DeploymentFailure&) {
        throw;
    } catch (const PlatformError& error) {
        if (!IsOpeningFault(error.Code())) {
            throw;
        }
        ThrowOpeningFailure(error);
    }
}

}  // namespace platform::deployment::local
