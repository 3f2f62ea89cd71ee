#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/LocalPackageManager.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <map>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "platform/Async.h"
#include "platform/Guid.h"
#include "platform/ThreadPool.h"
#include "platform/deployment/local/AppInstallerFile.h"
#include "platform/deployment/local/Encoding.h"
#include "platform/deployment/local/FileError.h"
#include "platform/deployment/local/Names.h"
#include "platform/deployment/local/PackageReader.h"
#include "platform/deployment/local/Store.h"

namespace platform::deployment::local {
namespace {

namespace fs = std::filesystem;
using Completer = AsyncCompleter<DeploymentResult, DeploymentProgress>;


// Where an add's progress stands after each stage; staging the packages fills
// the span between the last two.
constexpr std::uint32_t kAppInstallerRead = 5;
constexpr std::uint32_t kPackagesStaged = 95;
// Another process may remove what an add was about to register; it then stages
// that package too and tries again, this many times in all.
constexpr int kApplyAttempts = 3;

// A request's progress: whole percentages, each reported once, only upwards.
class ProgressReporter {
public:
    explicit ProgressReporter(Completer completer) : m_completer(std::move(completer)) {}

    void Report(std::uint32_t percentage) {
        if (m_last && percentage <= *m_last) {
            return;
        }
        m_last = percentage;
        m_completer.ReportProgress(DeploymentProgress{DeploymentProgressState::Processing, percentage});
    }

    // A share (0 to 1) of the span from `from` to `to`.
    void Report(std::uint32_t from, std::uint32_t to, double share) {
        Report(from + static_cast<std::uint32_t>((to - from) * std::clamp(share, 0.0, 1.0)));
    }

private:
    Completer m_completer;
    std::optional<std::uint32_t> m_last;
};

using Work = std::function<bool(ProgressReporter& progress, const std::atomic<bool>& cancelled)>;

// What the platform says about a failure: the text recorded with it, else the system's.
std::wstring TextOf(const PlatformError& error) {
    if (const auto& info = error.Info(); info && info->code == error.Code()) {
        if (info->restrictedDescription) {
            return *info->restrictedDescription;
        }
        if (info->description) {
            return *info->description;
        }
    }
    return SystemMessage(error.Code());
}

// Starts a deployment request on the worker threads. Its result carries a new
// activity id; a failure ends it with the Error status, the code as the
// extended error code and a text that says what went wrong.
DeploymentOperation StartRequest(Work work) {
    Completer completer;
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    completer.OnCancel([cancelled] { cancelled->store(true); });
    DeploymentOperation operation = completer.Operation();
    RunOnThreadPool([completer, cancelled, work = std::move(work), activityId = Guid::NewRandom()] {
        const auto fail = [&](hresult code, std::wstring text) {
            completer.CompleteWithError(DeploymentResult(activityId, false, code, std::move(text)), code);
        };
        try {
            ProgressReporter progress(completer);
            progress.Report(0);
            const bool registered = work(progress, *cancelled);
            progress.Report(100);
            completer.Complete(DeploymentResult(activityId, registered, kOk, {}));
        } catch (const std::bad_alloc&) {
            completer.Fail(kOutOfMemory);
        } catch (const PlatformError& error) {
            fail(error.Code(), TextOf(error));
        } catch (const std::exception& error) {
            fail(kFail, L"The request failed: " + FromUtf8Lossy(error.what()));
        } catch (...) {
            fail(kFail, SystemMessage(kFail));
        }
    });
    return operation;
}

// A request that changes the store in one step: 0 % before it, 100 % after.
DeploymentOperation StartChange(std::function<void()> change) {
    return StartRequest([change = std::move(change)](ProgressReporter&, const std::atomic<bool>&) {
        change();
        return false;
    });
}

// One package that an add deploys.
struct PlannedPackage {
    PackageIdentity identity;
    std::wstring fullName;
    std::wstring familyName;
    Uri uri;
    bool dependency = false;
};

// A package no one uses any more: no registration, and not the newest package
// of a family provisioned for all users.
bool IsUnused(Registry& registry, const PackageRecord& package) {
    if (registry.RegistrationCount(package.fullName) > 0) {
        return false;
    }
    if (!registry.IsProvisioned(package.familyName)) {
        return true;
    }
    const auto family = registry.FamilyPackages(package.familyName);
    return !family.empty() && family.back().fullName != package.fullName;
}

// The package URI that an AppInstaller file names, resolved and checked: it may
// not step down from https, nor reach a local file from a remote one.
Uri ResolvePackageUri(const Uri& appInstallerUri, const PackageReference& reference) {
    std::optional<Uri> uri;
    try {
        uri.emplace(appInstallerUri.CombineUri(reference.uri));
    } catch (const PlatformError&) {
        Throw(kInvalidArgument, L"The package URI " + reference.uri + L" in " + appInstallerUri.RawUri() +
                                    L" is not valid.");
    }
    CheckSource(*uri);
    const std::wstring& from = appInstallerUri.SchemeName();
    const std::wstring& to = uri->SchemeName();
    if ((from != L"file" && to == L"file") || (from == L"https" && to != L"https")) {
        Throw(kInvalidArgument, L"Refused " + uri->RawUri() + L": " + appInstallerUri.RawUri() +
                                    L" may not name a package there.");
    }
    return std::move(*uri);
}

// OpenSSL (hashing, TLS) runs on the worker threads, which the process joins
// only while it exits. OpenSSL's own exit handler would remove its per-thread
// state first and leave that of the workers behind, so it is not installed;
// this has to be the process's first use of OpenSSL to count.
void InitializeOpenSsl() {
    static const bool initialized = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    if (!initialized) {
        Throw(kOutOfMemory);
    }
}

}  // namespace

class LocalPackageManager::Service {
public:
    Service(const fs::path& root, LocalStoreOptions options)
        : m_store(root),
          m_userId(options.userId.empty() ? std::to_wstring(::geteuid()) : std::move(options.userId)),
          m_fetch(std::move(options.fetch)) {
        InitializeOpenSsl();
    }

    const Store& GetStore() const noexcept { return m_store; }
    const std::wstring& UserId() const noexcept { return m_userId; }

    bool Add(const Uri& appInstallerUri, ProgressReporter& progress, const std::atomic<bool>& cancelled) {
        FetchOptions fetch = m_fetch;
        fetch.cancelled = [&cancelled] { return cancelled.load(); };
        fetch.progress = nullptr;
        const std::string text = FetchText(appInstallerUri, kAppInstallerFileLimit, fetch);
        const AppInstallerFile file = ReadAppInstallerFile(text, appInstallerUri.RawUri());
        progress.Report(kAppInstallerRead);

        std::vector<PlannedPackage> packages;
        const auto plan = [&](const PackageReference& reference, bool dependency) {
            const std::wstring fullName = FullName(reference.identity);
            auto same = std::find_if(packages.begin(), packages.end(),
                                     [&](const PlannedPackage& p) { return p.fullName == fullName; });
            if (same != packages.end()) {
                same->dependency = same->dependency && dependency;
                return;
            }
            packages.push_back(PlannedPackage{reference.identity, fullName, FamilyName(reference.identity),
                                              ResolvePackageUri(appInstallerUri, reference), dependency});
        };
        for (const auto& dependency : file.dependencies) {
            plan(dependency, true);
        }
        plan(file.mainPackage, false);

        std::map<std::wstring, fs::path> staged;
        std::unique_ptr<Store::StagingArea> staging;
        int folders = 0;
        for (int attempt = 1;; ++attempt) {
            const std::vector<std::size_t> missing = Apply(packages, staged, cancelled);
            if (missing.empty()) {
                return true;
            }
            if (attempt == kApplyAttempts) {
                Throw(kInUse, L"The package store " + PathText(m_store.Root()) +
                                         L" kept changing while the package was added; try again.");
            }
            if (!staging) {
                staging = m_store.NewStagingArea();
            }
            for (std::size_t i = 0; i < missing.size(); ++i) {
                const auto from = static_cast<std::uint32_t>(kAppInstallerRead +
                                                             (kPackagesStaged - kAppInstallerRead) * i / missing.size());
                const auto to = static_cast<std::uint32_t>(
                    kAppInstallerRead + (kPackagesStaged - kAppInstallerRead) * (i + 1) / missing.size());
                const PlannedPackage& package = packages[missing[i]];
                staged[package.fullName] = Stage(package, appInstallerUri, *staging, ++folders,
                                                 [&](double share) { progress.Report(from, to, share); }, cancelled);
            }
        }
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
            Registry::Transaction transaction(registry);
            if (!allUsers) {
                registry.Unregister(m_userId, fullName);
            }
            const bool remove = allUsers || IsUnused(registry, *package);
            if (remove) {
                registry.RemovePackage(fullName);
            }
            transaction.Commit();
            if (remove) {
                withdrawn.push_back(lock.Withdraw(fullName));
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
        for (auto& record : userId ? registry.UserPackages(*userId, familyName) : registry.FamilyPackages(familyName)) {
            packages.emplace_back(PackageId(std::move(record.fullName), std::move(record.familyName)));
        }
        return packages;
    }

private:
    // Extracts one package into a new folder of the staging area, verifying it
    // on the way and its identity against the AppInstaller file's.
    fs::path Stage(const PlannedPackage& package, const Uri& appInstallerUri, const Store::StagingArea& staging,
                   int index, const std::function<void(double)>& progress, const std::atomic<bool>& cancelled) {
        const fs::path folder = staging.Path() / std::to_string(index);
        std::error_code error;
        if (!fs::create_directory(folder, error)) {
            ThrowFileError(error ? error.value() : EEXIST, L"Cannot create the staging folder " + PathText(folder));
        }
        const bool local = package.uri.SchemeName() == L"file";
        fs::path packageFile;
        if (local) {
            packageFile = LocalPath(package.uri);
            static_cast<void>(OpenForReading(package.uri));  // a missing file is named by its URI
        } else {
            packageFile = staging.Path() / (std::to_string(index) + ".appx");
            FetchOptions fetch = m_fetch;
            fetch.cancelled = [&cancelled] { return cancelled.load(); };
            fetch.progress = [&](std::uint64_t done, std::uint64_t total) {
                if (total > 0) {
                    progress(0.5 * static_cast<double>(std::min(done, total)) / static_cast<double>(total));
                }
            };
            FetchToFile(package.uri, packageFile, fetch);
        }

        ExtractOptions options;
        options.cancelled = [&cancelled] { return cancelled.load(); };
        options.progress = [&](std::uint64_t done, std::uint64_t total) {
            if (total > 0) {
                const double share = static_cast<double>(std::min(done, total)) / static_cast<double>(total);
                progress(local ? share : 0.5 + 0.5 * share);
            }
        };
        if (!local) {
            options.displayName = package.uri.RawUri();  // not its staging file
        }
        const PackageIdentity identity = ExtractPackage(packageFile, folder, options);
        if (!local) {
            fs::remove(packageFile, error);
        }
        if (identity != package.identity) {
            Throw(kIdentityMismatch, L"The package at " + package.uri.RawUri() + L" is " + FullName(identity) +
                                         L", but " + appInstallerUri.RawUri() + L" names " + package.fullName + L".");
        }
        return folder;
    }

    // Under the store's lock, decides what each package needs against the
    // registry as it is now. When a package must be installed that has not been
    // staged, nothing changes and the packages to stage are returned; otherwise
    // the packages are put in place and the registry commits them all at once.
    std::vector<std::size_t> Apply(const std::vector<PlannedPackage>& packages,
                                   const std::map<std::wstring, fs::path>& staged, const std::atomic<bool>& cancelled) {
        struct Step {
            const PlannedPackage* package;
            bool install;
            std::vector<PackageRecord> replaced;
        };
        std::vector<fs::path> withdrawn;
        std::exception_ptr failure;
        {
            Store::Lock lock(m_store);
            Registry& registry = lock.GetRegistry();
            std::vector<Step> steps;
            std::vector<std::size_t> missing;
            for (std::size_t i = 0; i < packages.size(); ++i) {
                const PlannedPackage& package = packages[i];
                auto mine = registry.UserPackages(m_userId, package.familyName);
                const auto isThis = [&](const PackageRecord& r) { return r.fullName == package.fullName; };
                const auto isNewer = [&](const PackageRecord& r) { return r.identity.version > package.identity.version; };
                if (std::any_of(mine.begin(), mine.end(), isThis)) {
                    continue;
                }
                if (package.dependency &&
                    std::any_of(mine.begin(), mine.end(),
                                [&](const PackageRecord& r) { return r.identity.version >= package.identity.version; })) {
                    continue;  // a dependency is met by the same or a newer version
                }
                if (auto newer = std::find_if(mine.begin(), mine.end(), isNewer); newer != mine.end()) {
                    Throw(kHigherVersionInstalled, L"Cannot add " + package.fullName + L": the higher version " +
                                                       newer->fullName + L" is already installed.");
                }
                const bool install = !registry.FindPackage(package.fullName);
                if (install && staged.count(package.fullName) == 0) {
                    missing.push_back(i);
                }
                steps.push_back(Step{&package, install, std::move(mine)});
            }
            if (!missing.empty() || steps.empty()) {
                return missing;
            }
            if (cancelled.load()) {
                Throw(kCancelled);
            }

            std::vector<std::wstring> placed;
            placed.reserve(steps.size());  // no allocation between placing a folder and noting it
            try {
                Registry::Transaction transaction(registry);
                for (const Step& step : steps) {
                    if (step.install) {
                        lock.Install(staged.at(step.package->fullName), step.package->fullName);
                        placed.push_back(step.package->fullName);
                        registry.AddPackage(step.package->identity);
                    }
                    registry.Register(m_userId, step.package->fullName);
                    for (const auto& old : step.replaced) {
                        registry.Unregister(m_userId, old.fullName);
                    }
                }
                std::vector<std::wstring> unused;
                for (const Step& step : steps) {
                    for (const auto& old : step.replaced) {
                        if (IsUnused(registry, old)) {
                            registry.RemovePackage(old.fullName);
                            unused.push_back(old.fullName);
                        }
                    }
                }
                transaction.Commit();
                placed.clear();
                for (const auto& fullName : unused) {
                    withdrawn.push_back(lock.Withdraw(fullName));
                }
            } catch (...) {
                // Folders put in place for a transaction that did not commit
                // are not the registry's: take them away again.
                failure = std::current_exception();
                for (const auto& fullName : placed) {
                    withdrawn.push_back(lock.Withdraw(fullName));
                }
            }
        }
        Store::Discard(withdrawn);
        if (failure) {
            std::rethrow_exception(failure);
        }
        return {};
    }

    Store m_store;
    std::wstring m_userId;
    FetchOptions m_fetch;
};

LocalPackageManager::LocalPackageManager(const fs::path& root, LocalStoreOptions options)
    : m_service(std::make_shared<Service>(root, std::move(options))) {}

LocalPackageManager::~LocalPackageManager() = default;

std::shared_ptr<LocalPackageManager> LocalPackageManager::OpenDefault() {
    return std::make_shared<LocalPackageManager>(Store::DefaultRoot());
}

PackageVolume LocalPackageManager::GetDefaultPackageVolume() {
    return PackageVolume(PathText(m_service->GetStore().Root()));
}

DeploymentOperation LocalPackageManager::AddPackageByAppInstallerFileAsync(const Uri& appInstallerFileUri,
                                                                           AddPackageByAppInstallerOptions,
                                                                           const PackageVolume& targetVolume) {
    if (!targetVolume.Name().empty() && targetVolume != GetDefaultPackageVolume()) {
        Throw(kInvalidArgument, L"The package volume " + targetVolume.Name() + L" does not exist.");
    }
    return StartRequest([service = m_service, uri = appInstallerFileUri](ProgressReporter& progress,
                                                                          const std::atomic<bool>& cancelled) {
        return service->Add(uri, progress, cancelled);
    });
}

DeploymentOperation LocalPackageManager::ProvisionPackageForAllUsersAsync(const std::wstring& packageFamilyName) {
    return StartChange([service = m_service, familyName = packageFamilyName] { service->Provision(familyName); });
}

DeploymentOperation LocalPackageManager::DeprovisionPackageForAllUsersAsync(const std::wstring& packageFamilyName) {
    return StartChange([service = m_service, familyName = packageFamilyName] { service->Deprovision(familyName); });
}

PackageCollection LocalPackageManager::FindPackagesByPackageFamilyName(const std::wstring& packageFamilyName) {
    return m_service->Find(std::nullopt, packageFamilyName);
}

PackageCollection LocalPackageManager::FindPackagesByUserSecurityIdPackageFamilyName(
    const std::wstring& userSecurityId, const std::wstring& packageFamilyName) {
    return m_service->Find(userSecurityId.empty() ? m_service->UserId() : userSecurityId, packageFamilyName);
}

DeploymentOperation LocalPackageManager::RemovePackageWithOptionsAsync(const std::wstring& packageFullName,
                                                                       RemovalOptions options) {
    const bool allUsers = (static_cast<std::uint32_t>(options) &
                           static_cast<std::uint32_t>(RemovalOptions::RemoveForAllUsers)) != 0;
    return StartChange([service = m_service, fullName = packageFullName, allUsers] { service->Remove(fullName, allUsers); });
}

}  // namespace platform::deployment::local
