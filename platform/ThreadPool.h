// The platform's worker threads: services run requests and deliver completions
// and progress on them.
#pragma once

#include <functional>

namespace platform {

// Runs the work on one of the process's worker threads. Work still queued when
// the process exits is dropped (its captures released); work already running
// is finished before the workers are joined.
void RunOnThreadPool(std::function<void()> work);

}  // namespace platform
