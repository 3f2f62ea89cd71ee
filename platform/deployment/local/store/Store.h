// The local package store on disk: registry.db, packages/<full name>/ (each
// complete or absent) and staging/ (work in progress), and the lock that lets
// threads and processes share one store.
//
// A package folder is put in place before the registry commits it and taken
// away only after the registry has forgotten it, so the registry never names a
// missing folder. Before a folder comes or goes a mark (staging/<full
// name>.pending) is on disk; what a crash leaves behind (staging work, a marked
// folder the registry does not know) is swept when the store is next opened,
// and nothing else is ever deleted.
//
// A folder is a store when store.lock holds the store's mark; an empty or new
// folder becomes one. As root, the store and its entries must be root's and
// writable by no one else, and no symbolic link below the store's folder is
// followed.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/deployment/local/FileDescriptor.h"
#include "platform/deployment/local/store/Registry.h"

namespace platform::deployment::local {

// The folder of the store's trusted certificates, which an administrator may
// create before the store exists.
constexpr const char* kTrustedFolderName = "trusted";

class Store {
public:
    // APPDEPLOY_STORE when set, else /var/lib/appdeploy for root and
    // $XDG_DATA_HOME/appdeploy (default ~/.local/share/appdeploy) for others.
    static std::filesystem::path DefaultRoot();

    // Creates what is missing, opens the registry and sweeps. Raises the failure
    // (0x80070005 when the store may not be created or opened, or as root is
    // another user's; 0x80070091 for a folder that holds other things and is not
    // a store; 0x80073CFE for a registry that cannot be read, or that is
    // missing or empty while package folders exist).
    explicit Store(std::filesystem::path root);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    const std::filesystem::path& Root() const noexcept { return m_root; }
    std::filesystem::path PackageDir(std::wstring_view fullName) const;
    // The folder of the installed version of the package's family closest
    // below it, of the same architecture unless any will do: what an update
    // need not download again. Takes the lock for a moment.
    std::optional<std::filesystem::path> InstalledBelow(const PackageIdentity& identity, bool anyArchitecture);

    // Exclusive use of the registry and of packages/: among the threads of this
    // process (a mutex) and among processes (an flock on store.lock).
    class Lock {
    public:
        explicit Lock(Store& store);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

        Registry& GetRegistry() const noexcept { return *m_store.m_registry; }
        // Puts a staged (and flushed) package folder in place as
        // packages/<fullName> and flushes the move; raises 0x800700B7 when a
        // folder the registry does not know is in the way.
        void Install(const std::filesystem::path& staged, std::wstring_view fullName);
        // Takes packages/<fullName> out of place; returns where it went, for
        // Discard once the lock is released (nothing when it was not there).
        std::filesystem::path Withdraw(std::wstring_view fullName);

    private:
        void ClearMarks() noexcept;

        Store& m_store;
        std::unique_lock<std::mutex> m_guard;
    };

    // A unique work folder under staging/, removed with the object. While it
    // lives its own lock keeps the sweep of any process away from it.
    class StagingArea {
    public:
        StagingArea(std::filesystem::path path, FileDescriptor lock) noexcept
            : m_path(std::move(path)), m_lock(std::move(lock)) {}
        ~StagingArea();
        StagingArea(const StagingArea&) = delete;
        StagingArea& operator=(const StagingArea&) = delete;
        const std::filesystem::path& Path() const noexcept { return m_path; }

    private:
        std::filesystem::path m_path;
        FileDescriptor m_lock;
    };
    std::unique_ptr<StagingArea> NewStagingArea();

    // Deletes folders that Withdraw took out of place (errors ignored: a later
    // sweep finishes the job).
    static void Discard(const std::vector<std::filesystem::path>& withdrawn);

private:
    void OpenLock();
    void Recognise();
    void CheckEntries() const;
    void CheckRegistryPresent() const;
    void Sweep();
    void Mark(std::wstring_view fullName);
    std::filesystem::path NewStagingName(std::string_view suffix) const;

    std::filesystem::path m_root;
    std::filesystem::path m_packages;
    std::filesystem::path m_staging;
    FileDescriptor m_rootFolder;
    FileDescriptor m_lock;
    bool m_created = false;
    std::vector<std::wstring> m_marked;  // under the lock
    std::mutex m_mutex;
    std::unique_ptr<Registry> m_registry;
};

}  // namespace platform::deployment::local
