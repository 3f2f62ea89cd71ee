// Starts the top-level task and blocks, with no time-out, until it yields.
#pragma once

#include "platform/Async.h"

namespace app {

class Options;

// Runs the deployment the options ask for; returns the exit status, 0 or 1.
// A cancelled or failed top task is raised to the caller.
int WaitForRun(const Options& options);

// Blocks until the task has finished and returns its result.
bool WaitForResult(const platform::IAsyncOperation<bool>& task);

}  // namespace app
