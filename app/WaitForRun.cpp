#include "app/WaitForRun.h"

#include "app/Options.h"
#include "deployment/Run.h"
#include "platform/Wait.h"

namespace app {

bool WaitForResult(const platform::IAsyncOperation<bool>& task) { return platform::WaitForResults(task); }

int WaitForRun(const Options& options) {
    platform::IAsyncOperation<bool> task = deployment::Run(options);
    const bool succeeded = WaitForResult(task);
    task = {};
    return succeeded ? 0 : 1;
}

}  // namespace app
