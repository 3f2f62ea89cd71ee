#include "app/WaitForRun.h"

#include <memory>

#include "app/Options.h"
#include "deployment/Run.h"
#include "platform/Apartment.h"

namespace app {
namespace {

// Shared with the completion handler, so a handler that runs after the wait has
// returned still finds its event.
struct WaitState {
    platform::Event event;
    platform::AsyncStatus status = platform::AsyncStatus::Started;
};

}  // namespace

bool WaitForResult(const platform::IAsyncOperation<bool>& task) {
    platform::AsyncStatus status = task.Status();
    if (status == platform::AsyncStatus::Started) {
        auto state = std::make_shared<WaitState>();
        task.Completed([state](const platform::IAsyncOperation<bool>&, platform::AsyncStatus finalStatus) {
            state->status = finalStatus;
            state->event.Set();
        });
        state->event.Wait();
        status = state->status;
    }
    if (status == platform::AsyncStatus::Canceled) {
        platform::Throw(platform::kCancelled);
    }
    return task.GetResults();
}

int WaitForRun(const Options& options) {
    platform::IAsyncOperation<bool> task = deployment::Run(options);
    const bool succeeded = WaitForResult(task);
    task = {};
    return succeeded ? 0 : 1;
}

}  // namespace app
