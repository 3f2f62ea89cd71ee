// The local package store on disk: registry.db, packages/<full name>/ (each
// complete or absent) and staging/ (work in progress), and the lock that lets
// threads and processes share one store.
//
// A package folder is put in place before the registry commits it and taken
// away only after the registry has forgotten it, so the registry never names a
// missing folder; what a crash leaves behind (staging work, a folder the
// registry does not know) is swept when the store is next opened.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/deployment/local/FileDescriptor.h"
#include "platform/deployment/local/store/Registry.h"

namespace platform::deployment::local {

class Store {
public:
    // APPDEPLOY_STORE when set, else /var/lib/appdeploy for root and
    // $XDG_DATA_HOME/appdeploy (default ~/.local/share/appdeploy) for others.
    static std::filesystem::path DefaultRoot();

    // Creates what is missing, opens the registry and sweeps. Raises the failure
    // (0x80070005 when the store may not be created or opened, 0x80073CFE for a
    // registry that cannot be read).
    explicit Store(std::filesystem::path root);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    const std::filesystem::path& Root() const noexcept { return m_root; }
    std::filesystem::path PackageDir(std::wstring_view fullName) const;

    // Exclusive use of the registry and of packages/: among the threads of this
    // process (a mutex) and among processes (an flock on store.lock).
    class Lock {
    public:
        explicit Lock(Store& store);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

        Registry& GetRegistry() const noexcept { return *m_store.m_registry; }
        // Puts a staged package folder in place as packages/<fullName>, replacing
        // a folder the registry does not know (left by a crash).
        void Install(const std::filesystem::path& staged, std::wstring_view fullName);
        // Takes packages/<fullName> out of place; returns where it went, for
        // Discard once the lock is released (nothing when it was not there).
        std::filesystem::path Withdraw(std::wstring_view fullName);

    private:
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
    void Sweep();
    std::filesystem::path NewStagingName(std::string_view suffix) const;

    std::filesystem::path m_root;
    std::filesystem::path m_packages;
    std::filesystem::path m_staging;
    FileDescriptor m_lock;
    std::mutex m_mutex;
    std::unique_ptr<Registry> m_registry;
};

}  // namespace platform::deployment::local
