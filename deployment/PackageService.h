// The boundary to the platform's package deployment service: the one header of
// the tool's own code that names the service's types.
#pragma once

#include "platform/Async.h"
#include "platform/Error.h"
#include "platform/Uri.h"
#include "platform/deployment/PackageManager.h"

namespace deployment {

using platform::AsyncStatus;
using platform::IAsyncOperation;
using platform::IAsyncOperationWithProgress;
using platform::PlatformError;
using platform::Uri;
using platform::deployment::AddPackageByAppInstallerOptions;
using platform::deployment::DeploymentOperation;
using platform::deployment::DeploymentProgress;
using platform::deployment::DeploymentResult;
using platform::deployment::Package;
using platform::deployment::PackageCollection;
using platform::deployment::PackageManager;
using platform::deployment::PackageVolume;
using platform::deployment::RemovalOptions;

}  // namespace deployment
