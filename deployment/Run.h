// The top-level task: the add or the removal sequence chosen by the options.
#pragma once

#include "deployment/PackageService.h"

namespace app {
class Options;
}

namespace deployment {

// Reads the options only before its first suspension; the caller keeps them
// alive until the task completes. Yields the AND of the operations that ran.
IAsyncOperation<bool> Run(const app::Options& options);

}  // namespace deployment
