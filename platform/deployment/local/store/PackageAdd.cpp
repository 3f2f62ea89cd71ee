#include "platform/deployment/local/store/PackageAdd.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/Error.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileError.h"
#include "platform/deployment/local/extract/ExtractPackage.h"
#include "platform/deployment/local/fetch/SourceRules.h"
#include "platform/deployment/local/format/AppInstallerFile.h"
#include "platform/deployment/local/format/Names.h"

namespace platform::deployment::local {
namespace {

namespace fs = std::filesystem;

// Where an add's progress stands after each stage; staging the packages fills
// the span between the last two.
constexpr std::uint32_t kAppInstallerRead = 5;
constexpr std::uint32_t kPackagesStaged = 95;
// Another process may remove what an add was about to register; it then stages
// that package too and tries again, this many times in all.
constexpr int kCommitAttempts = 3;

// One package that an add deploys.
struct PlannedPackage {
    PackageIdentity identity;
    std::wstring fullName;
    std::wstring familyName;
    Uri uri;
    bool dependency = false;
};

class PackageAdd {
public:
    PackageAdd(Store& store, const std::wstring& userId, const FetchOptions& fetch, const Uri& appInstallerUri,
               ProgressReporter& progress, const std::atomic<bool>& cancelled)
        : m_store(store),
          m_userId(userId),
          m_fetch(fetch),
          m_appInstallerUri(appInstallerUri),
          m_progress(progress),
          m_cancelled(cancelled) {
        m_fetch.cancelled = [&cancelled] { return cancelled.load(); };
        m_fetch.progress = nullptr;
    }

    void Run() {
        Plan();
        std::map<std::wstring, fs::path> staged;
        std::unique_ptr<Store::StagingArea> staging;
        int folders = 0;
        for (int attempt = 1;; ++attempt) {
            const std::vector<std::size_t> missing = TryCommit(staged);
            if (missing.empty()) {
                return;
            }
            if (attempt == kCommitAttempts) {
                Throw(kInUse, L"The package store " + PathText(m_store.Root()) +
                                  L" kept changing while the package was added; try again.");
            }
            if (!staging) {
                staging = m_store.NewStagingArea();
            }
            for (std::size_t i = 0; i < missing.size(); ++i) {
                const auto from = static_cast<std::uint32_t>(
                    kAppInstallerRead + (kPackagesStaged - kAppInstallerRead) * i / missing.size());
                const auto to = static_cast<std::uint32_t>(
                    kAppInstallerRead + (kPackagesStaged - kAppInstallerRead) * (i + 1) / missing.size());
                const PlannedPackage& package = m_packages[missing[i]];
                staged[package.fullName] = Stage(package, *staging, ++folders,
                                                 [&](double share) { m_progress.Report(from, to, share); });
            }
        }
    }

private:
    // Reads the AppInstaller file: its dependencies first, then its main package.
    void Plan() {
        const std::string text = FetchText(m_appInstallerUri, kAppInstallerFileLimit, m_fetch);
        const AppInstallerFile file = ReadAppInstallerFile(text, m_appInstallerUri.RawUri());
        m_progress.Report(kAppInstallerRead);
        for (const auto& dependency : file.dependencies) {
            Add(dependency, true);
        }
        Add(file.mainPackage, false);
    }

    void Add(const PackageReference& reference, bool dependency) {
        const std::wstring fullName = FullName(reference.identity);
        auto same = std::find_if(m_packages.begin(), m_packages.end(),
                                 [&](const PlannedPackage& p) { return p.fullName == fullName; });
        if (same != m_packages.end()) {
            same->dependency = same->dependency && dependency;
            return;
        }
        m_packages.push_back(PlannedPackage{reference.identity, fullName, FamilyName(reference.identity),
                                            ResolvePackageUri(m_appInstallerUri, reference.uri), dependency});
    }

    // Extracts one package into a new folder of the staging area, verifying it
    // on the way and its identity against the AppInstaller file's.
    fs::path Stage(const PlannedPackage& package, const Store::StagingArea& staging, int index,
                   const std::function<void(double)>& progress) {
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
            fetch.progress = [&](std::uint64_t done, std::uint64_t total) {
                if (total > 0) {
                    progress(0.5 * static_cast<double>(std::min(done, total)) / static_cast<double>(total));
                }
            };
            FetchToFile(package.uri, packageFile, fetch);
        }

        ExtractOptions options;
        options.cancelled = m_fetch.cancelled;
        options.diskReserve = m_fetch.diskReserve;
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
                                         L", but " + m_appInstallerUri.RawUri() + L" names " + package.fullName + L".");
        }
        return folder;
    }

    // Under the store's lock, decides what each package needs against the
    // registry as it is now. When a package must be installed that has not been
    // staged, nothing changes and the packages to stage are returned; otherwise
    // the packages are put in place and the registry commits them all at once.
    std::vector<std::size_t> TryCommit(const std::map<std::wstring, fs::path>& staged) {
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
            for (std::size_t i = 0; i < m_packages.size(); ++i) {
                const PlannedPackage& package = m_packages[i];
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
            if (m_cancelled.load()) {
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
                        if (registry.IsUnused(old)) {
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

    Store& m_store;
    const std::wstring& m_userId;
    FetchOptions m_fetch;
    const Uri& m_appInstallerUri;
    ProgressReporter& m_progress;
    const std::atomic<bool>& m_cancelled;
    std::vector<PlannedPackage> m_packages;
};

}  // namespace

bool AddPackages(Store& store, const std::wstring& userId, const FetchOptions& fetch, const Uri& appInstallerUri,
                 ProgressReporter& progress, const std::atomic<bool>& cancelled) {
    PackageAdd(store, userId, fetch, appInstallerUri, progress, cancelled).Run();
    return true;
}

}  // namespace platform::deployment::local
