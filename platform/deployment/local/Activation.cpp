// Makes the local package store the service that activation yields by default.
#include "platform/deployment/PackageManager.h"
#include "platform/deployment/local/store/LocalPackageManager.h"

namespace {

const bool kLocalStoreActivation = [] {
    platform::deployment::SetDefaultPackageManagerFactory(
        [] { return platform::deployment::local::LocalPackageManager::OpenDefault(); });
    return true;
}();

}  // namespace
