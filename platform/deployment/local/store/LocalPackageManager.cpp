#include "platform/deployment/local/store/LocalPackageManager.h"

#include <unistd.h>

#include <optional>
#include <utility>
#include <vector>

#include "platform/VisibleText.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileError.h"
#include "platform/deployment/local/format/Hash.h"
#include "platform/deployment/local/store/BundleMembers.h"
#include "platform/deployment/local/store/PackageAdd.h"
#include "platform/deployment/local/store/RequestRunner.h"
#include "platform/deployment/local/store/Store.h"

namespace platform::deployment::local {

namespace fs = std::filesystem;

namespace {

// Texts leave the store in a request's error text (made visible where the
// request ends) and in the errors that its calls raise at once, here.
template <typename Call>
decltype(auto) Visibly(Call&& call) {
    try {
        return call();
    } catch (const PlatformError& error) {
        throw WithVisibleText(error);
    }
}

}  // namespace

// The requests of one service object, each against the same store on behalf
// of the same user.
class LocalPackageManager::StoreRequests {
public:
    StoreRequests(const fs::path& root, LocalStoreOptions options)
        : m_store(root),
          m_userId(options.userId.empty() ? std::to_wstring(::geteuid()) : std::move(options.userId)),
          m_fetch(std::move(options.fetch)) {
        InitializeCrypto();
    }

    const fs::path& Root() const noexcept { return m_store.Root(); }
    const std::wstring& UserId() const noexcept { return m_userId; }

    bool Add(const Uri& appInstallerUri, ProgressReporter& progress, const std::atomic<bool>& cancelled) {
        return AddPackages(m_store, m_userId, m_fetch, appInstallerUri, progress, cancelled);
    }

    void Provision(const std::wstring& familyName) {
        Store::Lock lock(m_store);
        Registry& registry = lock.GetRegistry();
        if (registry.FamilyPackages(familyName).empty()) {
            Throw(kPackageNotFound, L"No package of the family " + familyName + L" is installed.");
        }
        Registry::Transaction transaction(registry);
        registry.Provision(familyName);
        transaction.Commit();
    }

    void Deprovision(const std::wstring& familyName) {
        std::vector<fs::path> withdrawn;
        {
            Store::Lock lock(m_store);
            Registry& registry = lock.GetRegistry();
            if (!registry.IsProvisioned(familyName)) {
                Throw(kPackageNotFound, L"The package family " + familyName + L" is not provisioned.");
            }
            Registry::Transaction transaction(registry);
            registry.Deprovision(familyName);
            std::vector<std::wstring> unused;
            for (const auto& package : registry.FamilyPackages(familyName)) {
                if (registry.RegistrationCount(package.fullName) == 0) {
                    registry.RemovePackage(package.fullName);
                    unused.push_back(package.fullName);
                }
            }
            transaction.Commit();
            for (const auto& fullName : unused) {
                withdrawn.push_back(lock.Withdraw(fullName));
            }
        }
        Store::Discard(withdrawn);
    }

    void Remove(const std::wstring& fullName, bool allUsers) {
        std::vector<fs::path> withdrawn;
        {
            Store::Lock lock(m_store);
            Registry& registry = lock.GetRegistry();
            const auto package = registry.FindPackage(fullName);
            if (!package) {
                Throw(kPackageNotFound, L"The package " + fullName + L" is not installed.");
            }
            if (!allUsers && !registry.IsRegistered(m_userId, fullName)) {
                Throw(kPackageNotFound, L"The package " + fullName + L" is not installed for the current user.");
            }
            const auto together = RemovedTogether(*package, allUsers ? registry.FamilyPackages(package->familyName)
                                                                     : registry.UserPackages(m_userId, package->familyName));
            Registry::Transaction transaction(registry);
            for (const PackageRecord& member : together) {
                if (!allUsers) {
                    registry.Unregister(m_userId, member.fullName);
                }
            }
            std::vector<std::wstring> removed;
            for (const PackageRecord& member : together) {
                if (allUsers || registry.IsUnused(member)) {
                    registry.RemovePackage(member.fullName);
                    removed.push_back(member.fullName);
                }
            }
            transaction.Commit();
            for (const auto& name : removed) {
                withdrawn.push_back(lock.Withdraw(name));
            }
        }
        Store::Discard(withdrawn);
    }

    PackageCollection Find(const std::optional<std::wstring>& userId, const std::wstring& familyName) {
        PackageCollection packages;
        if (familyName.empty()) {
            return packages;
        }
        Store::Lock lock(m_store);
        Registry& registry = lock.GetRegistry();
        for (auto& record : WithoutBundleParts(userId ? registry.UserPackages(*userId, familyName)
                                                      : registry.FamilyPackages(familyName))) {
            packages.emplace_back(PackageId(std::move(record.fullName), std::move(record.familyName)));
        }
        return packages;
    }

private:
    Store m_store;
    std::wstring m_userId;
    FetchOptions m_fetch;
};

LocalPackageManager::LocalPackageManager(const fs::path& root, LocalStoreOptions options)
    : m_requests(Visibly([&] { return std::make_shared<StoreRequests>(root, std::move(options)); })) {}

LocalPackageManager::~LocalPackageManager() = default;

std::shared_ptr<LocalPackageManager> LocalPackageManager::OpenDefault() {
    return std::make_shared<LocalPackageManager>(Visibly([] { return Store::DefaultRoot(); }));
}

PackageVolume LocalPackageManager::GetDefaultPackageVolume() {
    return PackageVolume(PathText(m_requests->Root()));
}

DeploymentOperation LocalPackageManager::AddPackageByAppInstallerFileAsync(const Uri& appInstallerFileUri,
                                                                           AddPackageByAppInstallerOptions,
                                                                           const PackageVolume& targetVolume) {
    if (!targetVolume.Name().empty() && targetVolume != GetDefaultPackageVolume()) {
        Throw(kInvalidArgument, L"The package volume " + VisibleText(targetVolume.Name()) + L" does not exist.");
    }
    return StartRequest([requests = m_requests, uri = appInstallerFileUri](ProgressReporter& progress,
                                                                          const std::atomic<bool>& cancelled) {
        return requests->Add(uri, progress, cancelled);
    });
}

DeploymentOperation LocalPackageManager::ProvisionPackageForAllUsersAsync(const std::wstring& packageFamilyName) {
    return StartChange([requests = m_requests, familyName = packageFamilyName] { requests->Provision(familyName); });
}

DeploymentOperation LocalPackageManager::DeprovisionPackageForAllUsersAsync(const std::wstring& packageFamilyName) {
    return StartChange([requests = m_requests, familyName = packageFamilyName] { requests->Deprovision(familyName); });
}

PackageCollection LocalPackageManager::FindPackagesByPackageFamilyName(const std::wstring& packageFamilyName) {
    return Visibly([&] { return m_requests->Find(std::nullopt, packageFamilyName); });
}

PackageCollection LocalPackageManager::FindPackagesByUserSecurityIdPackageFamilyName(
    const std::wstring& userSecurityId, const std::wstring& packageFamilyName) {
    return Visibly([&] {
        return m_requests->Find(userSecurityId.empty() ? m_requests->UserId() : userSecurityId, packageFamilyName);
    });
}

DeploymentOperation LocalPackageManager::RemovePackageWithOptionsAsync(const std::wstring& packageFullName,
                                                                       RemovalOptions options) {
    const bool allUsers = (static_cast<std::uint32_t>(options) &
                           static_cast<std::uint32_t>(RemovalOptions::RemoveForAllUsers)) != 0;
    return StartChange([requests = m_requests, fullName = packageFullName, allUsers] { requests->Remove(fullName, allUsers); });
}

}  // namespace platform::deployment::local
