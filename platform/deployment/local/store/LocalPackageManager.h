// The platform's package deployment service, backed by the local package store:
// every request runs on the worker threads with real progress and leaves the
// store as it was when it fails.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/deployment/PackageManager.h"
#include "platform/deployment/local/fetch/Fetch.h"

namespace platform::deployment::local {

struct LocalStoreOptions {
    std::wstring userId;  // the current user; empty: the effective uid
    FetchOptions fetch;   // time-outs, minimum speed, free-space reserve (progress and cancelled are the service's)
};

class LocalPackageManager final : public IPackageManager {
public:
    // Opens (creating when missing) the store at `root` and sweeps it; raises
    // the store's failure.
    explicit LocalPackageManager(const std::filesystem::path& root, LocalStoreOptions options = {});
    ~LocalPackageManager() override;

    // The store at its default place (Store::DefaultRoot).
    static std::shared_ptr<LocalPackageManager> OpenDefault();

    // Named after the store's folder.
    PackageVolume GetDefaultPackageVolume() override;
    // Raises 0x80070057 at once for a volume other than the default one.
    DeploymentOperation AddPackageByAppInstallerFileAsync(const Uri& appInstallerFileUri,
                                                          AddPackageByAppInstallerOptions options,
                                                          const PackageVolume& targetVolume) override;
    DeploymentOperation ProvisionPackageForAllUsersAsync(const std::wstring& packageFamilyName) override;
    DeploymentOperation DeprovisionPackageForAllUsersAsync(const std::wstring& packageFamilyName) override;
    PackageCollection FindPackagesByPackageFamilyName(const std::wstring& packageFamilyName) override;
    PackageCollection FindPackagesByUserSecurityIdPackageFamilyName(const std::wstring& userSecurityId,
                                                                    const std::wstring& packageFamilyName) override;
    DeploymentOperation RemovePackageWithOptionsAsync(const std::wstring& packageFullName,
                                                      RemovalOptions options) override;

private:
    class StoreRequests;
    std::shared_ptr<StoreRequests> m_requests;
};

}  // namespace platform::deployment::local
