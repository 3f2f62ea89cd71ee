#include "platform/deployment/local/store/PackageAdd.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileError.h"
#include "platform/deployment/local/extract/BundleFile.h"
#include "platform/deployment/local/extract/ExtractPackage.h"
#include "platform/deployment/local/fetch/PackageDownload.h"
#include "platform/deployment/local/fetch/SourceRules.h"
#include "platform/deployment/local/format/AppInstallerFile.h"
#include "platform/deployment/local/format/Manifest.h"
#include "platform/deployment/local/format/Names.h"
#include "platform/deployment/local/format/PartNames.h"
#include "platform/deployment/local/store/Applicability.h"
#include "platform/deployment/local/store/Dependencies.h"
#include "platform/deployment/local/store/PackageOpening.h"

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
    // Without it the package's own architecture completes the identity.
    bool architectureGiven = true;
    // A bundle's own entry (no `bundled`) and each package taken from it.
    std::shared_ptr<const BundleFile> bundle;
    const BundledPackage* bundled = nullptr;
};

// A package extracted into the staging area, with its identity as its manifest spells it.
struct StagedPackage {
    fs::path folder;
    PackageIdentity identity;
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
        m_host = HostArchitecture();
        m_languages = UserLanguages([](const char* name) { return std::getenv(name); });
    }

    void Run() {
        // Read once per add, so that a publisher trusted meanwhile counts from the next add on.
        m_signature = SignatureCheck{SignatureCheck::Requirement::Required,
                                     TrustedCertificates::FromFolder(m_store.Root() / kTrustedFolderName)};
        Plan();
        std::map<std::wstring, StagedPackage> staged;
        for (int attempt = 1;; ++attempt) {
            const std::vector<std::size_t> missing = TryCommit(staged);
            if (missing.empty()) {
                return;
            }
            if (attempt == kCommitAttempts) {
                Throw(kInUse, L"The package store " + PathText(m_store.Root()) +
                                  L" kept changing while the package was added; try again.");
            }
            for (std::size_t i = 0; i < missing.size(); ++i) {
                const auto from = static_cast<std::uint32_t>(
                    kAppInstallerRead + (kPackagesStaged - kAppInstallerRead) * i / missing.size());
                const auto to = static_cast<std::uint32_t>(
                    kAppInstallerRead + (kPackagesStaged - kAppInstallerRead) * (i + 1) / missing.size());
                PlannedPackage& package = m_packages[missing[i]];
                staged[package.fullName] = Stage(package, [&](double share) { m_progress.Report(from, to, share); });
            }
        }
    }

private:
    // Reads the AppInstaller file: its dependencies first, then its main
    // package and the optional packages that come with it.
    void Plan() {
        const std::string text = FetchText(m_appInstallerUri, kAppInstallerFileLimit, m_fetch);
        const AppInstallerFile file = ReadAppInstallerFile(text, m_appInstallerUri.RawUri());
        m_progress.Report(kAppInstallerRead);
        for (const auto& dependency : file.dependencies) {
            Add(dependency, true);
        }
        Add(file.mainPackage, false);
        for (const auto& optional : file.optionalPackages) {
            Add(optional, false);
        }
    }

    void Add(const PackageReference& reference, bool dependency) {
        if (reference.architectureGiven) {
            RequireFitsHost(reference.identity, m_host);
        }
        const Uri uri = ResolvePackageUri(m_appInstallerUri, reference.uri);
        PlannedPackage planned{reference.identity, FullName(reference.identity), FamilyName(reference.identity),
                               uri, dependency, reference.architectureGiven, nullptr, nullptr};
        if (!reference.bundle) {
            Add(std::move(planned));
            return;
        }
        planned.bundle = OpenBundle(planned);
        const BundleManifest& manifest = planned.bundle->Manifest();
        if (!SameIdentity(manifest.identity, reference.identity, true)) {
            Throw(kIdentityMismatch, L"The bundle at " + uri.RawUri() + L" is " + FullName(manifest.identity) +
                                         L", but " + m_appInstallerUri.RawUri() + L" names " + planned.fullName + L".");
        }
        for (const std::size_t index : ChooseBundlePackages(manifest, m_host, m_languages)) {
            const BundledPackage& bundled = manifest.packages[index];
            // A flat bundle's package is a file of that name beside it.
            const Uri packageUri = bundled.stored ? uri : ResolveFileBeside(uri, bundled.fileName);
            Add(PlannedPackage{bundled.identity, FullName(bundled.identity), FamilyName(bundled.identity), packageUri,
                               dependency, true, planned.bundle, &bundled});
        }
        Add(std::move(planned));
    }

    void Add(PlannedPackage planned) {
        auto same = std::find_if(m_packages.begin(), m_packages.end(),
                                 [&](const PlannedPackage& p) { return SameName(p.fullName, planned.fullName); });
        if (same != m_packages.end()) {
            same->dependency = same->dependency && planned.dependency;
            return;
        }
        m_packages.push_back(std::move(planned));
    }

    // A bundle is read where it is: a local file in place, a download in the
    // staging area.
    std::shared_ptr<const BundleFile> OpenBundle(const PlannedPackage& planned) {
        if (planned.uri.SchemeName() == L"file") {
            static_cast<void>(OpenForReading(planned.uri));  // a missing file is named by its URI
            return Opening([&] { return std::make_shared<const BundleFile>(LocalPath(planned.uri), std::wstring(), m_signature); });
        }
        const fs::path file = Staging().Path() / (std::to_string(++m_folders) + ".appxbundle");
        FetchToFile(planned.uri, file, m_fetch);
        return Opening([&] { return std::make_shared<const BundleFile>(file, planned.uri.RawUri(), m_signature); });
    }

    const Store::StagingArea& Staging() {
        if (!m_staging) {
            m_staging = m_store.NewStagingArea();
        }
        return *m_staging;
    }

    // Extracts one package into a new folder of the staging area, verifying it
    // on the way and its identity against the AppInstaller file's.
    StagedPackage Stage(PlannedPackage& package, const std::function<void(double)>& progress) {
        const int index = ++m_folders;
        const fs::path folder = Staging().Path() / std::to_string(index);
        std::error_code error;
        if (!fs::create_directory(folder, error)) {
            ThrowFileError(error ? error.value() : EEXIST, L"Cannot create the staging folder " + PathText(folder));
        }
        if (package.bundle && (package.bundled == nullptr || package.bundled->stored)) {
            return StagedPackage{folder, StageFromBundle(package, folder, progress)};
        }
        const bool local = package.uri.SchemeName() == L"file";
        fs::path packageFile;
        // A download is extracted while it arrives, from a server that allows it.
        std::optional<PackageDownload> download;
        if (local) {
            packageFile = LocalPath(package.uri);
            static_cast<void>(OpenForReading(package.uri));  // a missing file is named by its URI
        } else {
            packageFile = Staging().Path() / (std::to_string(index) + ".appx");
            FetchOptions fetch = m_fetch;
            fetch.progress = [&](std::uint64_t done, std::uint64_t total) {
                if (total > 0) {
                    progress(0.5 * static_cast<double>(std::min(done, total)) / static_cast<double>(total));
                }
            };
            CheckSource(package.uri);
            download.emplace(package.uri, packageFile, fetch);
        }
        // What was downloaded whole before extracting has had the first half.
        const bool halfDone = download && download->Complete();

        ExtractOptions options;
        options.cancelled = m_fetch.cancelled;
        options.diskReserve = m_fetch.diskReserve;
        options.progress = [&](std::uint64_t done, std::uint64_t total) {
            if (total > 0) {
                const double share = static_cast<double>(std::min(done, total)) / static_cast<double>(total);
                progress(halfDone ? 0.5 + 0.5 * share : share);
            }
        };
        if (!local) {
            options.displayName = package.uri.RawUri();  // not its staging file
        }
        if (download && !download->Complete()) {
            options.arriving = &*download;
        }
        options.dependencies = &m_requirements[folder];
        options.signature = m_signature;
        if (package.bundle) {
            // The flat bundle's signature does not cover it: its own, by the same signer, does.
            options.signature.signer = package.bundle->Signer();
        }
        options.reuseFrom = m_store.InstalledBelow(package.identity, !package.architectureGiven);
        options.checkIdentity = [&](const PackageIdentity& identity) {
            if (!SameIdentity(identity, package.identity, package.architectureGiven)) {
                Throw(kIdentityMismatch, L"The package at " + package.uri.RawUri() + L" is " + FullName(identity) +
                                             L", but " + m_appInstallerUri.RawUri() + L" names " + package.fullName +
                                             L".");
            }
            RequireFitsHost(identity, m_host);
            // An update may need only parts of the rest; a read that needs more starts it.
            if (download && !options.reuseFrom) {
                download->Start();
            }
        };
        const PackageIdentity identity = Opening([&] {
            try {
                return ExtractPackage(packageFile, folder, options);
            } catch (...) {
                if (download) {
                    download->Abandon();  // a failed transfer explains the refusal better
                }
                throw;
            }
        });
        if (download) {
            download->Finish();
            download.reset();
            fs::remove(packageFile, error);
        }
        if (!package.architectureGiven) {
            package.identity = identity;
            package.fullName = FullName(identity);
            package.architectureGiven = true;
        }
        return StagedPackage{folder, identity};
    }

    // A bundle's own folder holds its manifest; each package chosen from it
    // is verified and extracted where the bundle stores it.
    PackageIdentity StageFromBundle(const PlannedPackage& package, const fs::path& folder,
                                    const std::function<void(double)>& progress) {
        if (package.bundled == nullptr) {
            package.bundle->WriteFolder(folder);
            return package.bundle->Manifest().identity;
        }
        ExtractOptions options;
        options.cancelled = m_fetch.cancelled;
        options.diskReserve = m_fetch.diskReserve;
        options.progress = [&](std::uint64_t done, std::uint64_t total) {
            if (total > 0) {
                progress(static_cast<double>(std::min(done, total)) / static_cast<double>(total));
            }
        };
        options.dependencies = &m_requirements[folder];
        const PackageIdentity identity = Opening([&] { return package.bundle->Extract(*package.bundled, folder, options); });
        if (!SameIdentity(identity, package.identity, true)) {
            Throw(kIdentityMismatch, L"The package " + FromUtf8Lossy(package.bundled->fileName) + L" in the bundle at " +
                                         package.uri.RawUri() + L" is " + FullName(identity) +
                                         L", but its bundle manifest names " + package.fullName + L".");
        }
        RequireFitsHost(identity, m_host);
        return identity;
    }

    // What a package this add registers depends on: read as it was staged, or
    // from the manifest of the installed copy it registers.
    std::vector<PackageDependency> RequirementsOf(const PlannedPackage& package, bool install,
                                                  const std::map<std::wstring, StagedPackage>& staged) const {
        if (install) {
            const auto found = m_requirements.find(staged.at(package.fullName).folder);
            return found == m_requirements.end() ? std::vector<PackageDependency>{} : found->second;
        }
        if (package.bundle && !package.bundled) {
            return {};  // a bundle's folder holds no package manifest
        }
        return InstalledRequirements(m_store.PackageDir(package.fullName));
    }

    // Under the store's lock, decides what each package needs against the
    // registry as it is now. When a package must be installed that has not been
    // staged, nothing changes and the packages to stage are returned; otherwise
    // the packages are put in place and the registry commits them all at once.
    std::vector<std::size_t> TryCommit(const std::map<std::wstring, StagedPackage>& staged) {
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
            const auto planned = [&](const PackageRecord& r) {
                return std::any_of(m_packages.begin(), m_packages.end(),
                                   [&](const PlannedPackage& p) { return SameName(p.fullName, r.fullName); });
            };
            for (std::size_t i = 0; i < m_packages.size(); ++i) {
                const PlannedPackage& package = m_packages[i];
                auto mine = registry.UserPackages(m_userId, package.familyName);
                const auto isThis = [&](const PackageRecord& r) { return SameName(r.fullName, package.fullName); };
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
                // A family's packages that this add also registers (a bundle's) stay.
                std::erase_if(mine, planned);
                steps.push_back(Step{&package, install, std::move(mine)});
            }
            if (!missing.empty() || steps.empty()) {
                return missing;
            }
            std::vector<PackageIdentity> added;
            for (const PlannedPackage& package : m_packages) {
                added.push_back(package.identity);
            }
            for (const Step& step : steps) {
                RequireDependencies(step.package->fullName, RequirementsOf(*step.package, step.install, staged),
                                    registry, m_userId, added);
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
                        // Installed and recorded as the package spells its name.
                        const StagedPackage& package = staged.at(step.package->fullName);
                        std::wstring fullName = FullName(package.identity);
                        lock.Install(package.folder, fullName);
                        placed.push_back(std::move(fullName));
                        registry.AddPackage(package.identity);
                    }
                    registry.Register(m_userId, step.package->fullName);
                    for (const auto& old : step.replaced) {
                        registry.Unregister(m_userId, old.fullName);
                    }
                }
                std::vector<std::wstring> unused;
                for (const Step& step : steps) {
                    for (const auto& old : step.replaced) {
                        if (std::find(unused.begin(), unused.end(), old.fullName) == unused.end() &&
                            registry.IsUnused(old)) {
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
    std::wstring m_host;
    std::vector<std::wstring> m_languages;
    SignatureCheck m_signature;
    std::vector<PlannedPackage> m_packages;
    std::unique_ptr<Store::StagingArea> m_staging;
    int m_folders = 0;
    // The PackageDependency elements of each staged package, by its folder.
    std::map<fs::path, std::vector<PackageDependency>> m_requirements;
};

}  // namespace

bool AddPackages(Store& store, const std::wstring& userId, const FetchOptions& fetch, const Uri& appInstallerUri,
                 ProgressReporter& progress, const std::atomic<bool>& cancelled) {
    PackageAdd(store, userId, fetch, appInstallerUri, progress, cancelled).Run();
    return true;
}

}  // namespace platform::deployment::local
