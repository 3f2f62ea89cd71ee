// Follows one deployment request to its end: progress on one self-overwriting
// console line, the deployment result, and a status line under the context name.
#pragma once

#include <string>

#include "deployment/PackageService.h"

namespace deployment {

// Yields true only when the request completed. A cancelled request, or a failure
// to follow it, ends the task with that error for the caller to report.
IAsyncOperation<bool> AwaitDeployment(DeploymentOperation operation, std::wstring context);

}  // namespace deployment
