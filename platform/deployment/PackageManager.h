// The package deployment service: its records, the service object, and the
// activation through which the service object finds its implementation.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Async.h"
#include "platform/Error.h"
#include "platform/Guid.h"
#include "platform/Uri.h"

namespace platform::deployment {

enum class DeploymentProgressState : std::int32_t { Queued = 0, Processing = 1 };

struct DeploymentProgress {
    DeploymentProgressState state = DeploymentProgressState::Queued;
    std::uint32_t percentage = 0;
};

class DeploymentResult {
public:
    DeploymentResult() = default;
    DeploymentResult(Guid activityId, bool isRegistered, hresult extendedErrorCode, std::wstring errorText)
        : m_activityId(activityId),
          m_isRegistered(isRegistered),
          m_extendedErrorCode(extendedErrorCode),
          m_errorText(std::move(errorText)) {}

    Guid ActivityId() const noexcept { return m_activityId; }
    bool IsRegistered() const noexcept { return m_isRegistered; }
    hresult ExtendedErrorCode() const noexcept { return m_extendedErrorCode; }
    const std::wstring& ErrorText() const noexcept { return m_errorText; }

private:
    Guid m_activityId;
    bool m_isRegistered = false;
    hresult m_extendedErrorCode = kOk;
    std::wstring m_errorText;
};

// A deployment request: already running when the service hands it out.
using DeploymentOperation = IAsyncOperationWithProgress<DeploymentResult, DeploymentProgress>;

enum class RemovalOptions : std::uint32_t { None = 0, RemoveForAllUsers = 0x80000 };
enum class AddPackageByAppInstallerOptions : std::uint32_t { None = 0 };

class PackageId {
public:
    PackageId() = default;
    PackageId(std::wstring fullName, std::wstring familyName)
        : m_fullName(std::move(fullName)), m_familyName(std::move(familyName)) {}

    const std::wstring& FullName() const noexcept { return m_fullName; }
    const std::wstring& FamilyName() const noexcept { return m_familyName; }

private:
    std::wstring m_fullName;
    std::wstring m_familyName;
};

class Package {
public:
    Package() = default;
    explicit Package(PackageId id) : m_id(std::move(id)) {}

    const PackageId& Id() const noexcept { return m_id; }

private:
    PackageId m_id;
};

using PackageCollection = std::vector<Package>;

class PackageVolume {
public:
    PackageVolume() = default;
    explicit PackageVolume(std::wstring name) : m_name(std::move(name)) {}

    const std::wstring& Name() const noexcept { return m_name; }  // empty: no volume
    friend bool operator==(const PackageVolume&, const PackageVolume&) = default;

private:
    std::wstring m_name;
};

// What an implementation of the service provides. Failures are raised as
// PlatformError (std::bad_alloc for out of memory).
class IPackageManager {
public:
    virtual ~IPackageManager() = default;

    virtual PackageVolume GetDefaultPackageVolume() = 0;
    virtual DeploymentOperation AddPackageByAppInstallerFileAsync(const Uri& appInstallerFileUri,
                                                                  AddPackageByAppInstallerOptions options,
                                                                  const PackageVolume& targetVolume) = 0;
    virtual DeploymentOperation ProvisionPackageForAllUsersAsync(const std::wstring& packageFamilyName) = 0;
    virtual DeploymentOperation DeprovisionPackageForAllUsersAsync(const std::wstring& packageFamilyName) = 0;
    virtual PackageCollection FindPackagesByPackageFamilyName(const std::wstring& packageFamilyName) = 0;
    // An empty user security id means the current user.
    virtual PackageCollection FindPackagesByUserSecurityIdPackageFamilyName(const std::wstring& userSecurityId,
                                                                            const std::wstring& packageFamilyName) = 0;
    virtual DeploymentOperation RemovePackageWithOptionsAsync(const std::wstring& packageFullName,
                                                              RemovalOptions options) = 0;
};

using PackageManagerFactory = std::function<std::shared_ptr<IPackageManager>()>;

// The service object: a reference-counted handle on the activated implementation.
class PackageManager {
public:
    // Activates the registered implementation; raises 0x80040154 when there is none,
    // or the implementation's own failure.
    PackageManager();
    explicit PackageManager(std::shared_ptr<IPackageManager> impl) noexcept : m_impl(std::move(impl)) {}

    PackageVolume GetDefaultPackageVolume() const { return Impl().GetDefaultPackageVolume(); }
    DeploymentOperation AddPackageByAppInstallerFileAsync(const Uri& uri, AddPackageByAppInstallerOptions options,
                                                          const PackageVolume& volume) const {
        return Impl().AddPackageByAppInstallerFileAsync(uri, options, volume);
    }
    DeploymentOperation ProvisionPackageForAllUsersAsync(const std::wstring& familyName) const {
        return Impl().ProvisionPackageForAllUsersAsync(familyName);
    }
    DeploymentOperation DeprovisionPackageForAllUsersAsync(const std::wstring& familyName) const {
        return Impl().DeprovisionPackageForAllUsersAsync(familyName);
    }
    PackageCollection FindPackagesByPackageFamilyName(const std::wstring& familyName) const {
        return Impl().FindPackagesByPackageFamilyName(familyName);
    }
    PackageCollection FindPackagesByUserSecurityIdPackageFamilyName(const std::wstring& userSecurityId,
                                                                    const std::wstring& familyName) const {
        return Impl().FindPackagesByUserSecurityIdPackageFamilyName(userSecurityId, familyName);
    }
    DeploymentOperation RemovePackageWithOptionsAsync(const std::wstring& fullName, RemovalOptions options) const {
        return Impl().RemovePackageWithOptionsAsync(fullName, options);
    }

private:
    IPackageManager& Impl() const;

    std::shared_ptr<IPackageManager> m_impl;
};

// The implementation activated when no test has installed its own (the local
// package store registers itself here).
void SetDefaultPackageManagerFactory(PackageManagerFactory factory);

// Installs a factory for the life of the guard; the previous one comes back after.
class ScopedPackageManagerActivation {
public:
    explicit ScopedPackageManagerActivation(PackageManagerFactory factory);
    ~ScopedPackageManagerActivation();
    ScopedPackageManagerActivation(const ScopedPackageManagerActivation&) = delete;
    ScopedPackageManagerActivation& operator=(const ScopedPackageManagerActivation&) = delete;

private:
    PackageManagerFactory m_previous;
};

}  // namespace platform::deployment
