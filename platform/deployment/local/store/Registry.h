// The store's registry (SQLite): installed packages, their registrations per
// user and the families provisioned for all users.
#pragma once

#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/deployment/local/format/Names.h"

struct sqlite3;

namespace platform::deployment::local {

struct PackageRecord {
    std::wstring fullName;
    std::wstring familyName;
    PackageIdentity identity;
};

// Names are found without regard to ASCII case, as the platform matches them,
// and kept as the package spells them. Failures raise PlatformError: 0x80073CFE for a registry that cannot be read
// (not a database, damaged, another layout), 0x80073D02 when another process
// holds it longer than the busy time-out, 0x80070005 when it may not be opened
// or written, 0x80073CF4 when the disk is full.
class Registry {
public:
    // Opens (creating when missing, readable by its owner only) the database in
    // WAL mode with full synchronisation and a busy time-out; never through a
    // symbolic link. A database that is not the store's is refused (0x80073CFE).
    explicit Registry(std::filesystem::path file);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // One transaction, begun with the write lock taken; rolled back unless committed.
    class Transaction {
    public:
        explicit Transaction(Registry& registry);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void Commit();

    private:
        Registry* m_registry;
        bool m_done = false;
    };

    std::optional<PackageRecord> FindPackage(std::wstring_view fullName);
    // Oldest version first.
    std::vector<PackageRecord> FamilyPackages(std::wstring_view familyName);
    std::vector<PackageRecord> UserPackages(std::wstring_view userId, std::wstring_view familyName);
    std::vector<std::wstring> AllFullNames();

    void AddPackage(const PackageIdentity& identity);
    // The package and every registration of it.
    void RemovePackage(std::wstring_view fullName);
    // Called with the full name before each RemovePackage (its failure fails it).
    void OnRemove(std::function<void(std::wstring_view fullName)> hook) { m_onRemove = std::move(hook); }

    // Registers the installed package of that name (none: nothing happens).
    void Register(std::wstring_view userId, std::wstring_view fullName);
    void Unregister(std::wstring_view userId, std::wstring_view fullName);
    bool IsRegistered(std::wstring_view userId, std::wstring_view fullName);
    int RegistrationCount(std::wstring_view fullName);

    bool IsProvisioned(std::wstring_view familyName);
    // Whether no one uses the package any more: no registration, and not the
    // newest package of a family provisioned for all users.
    bool IsUnused(const PackageRecord& package);
    // Recorded as the family's installed packages spell it, if there are any.
    void Provision(std::wstring_view familyName);
    void Deprovision(std::wstring_view familyName);

    const std::filesystem::path& File() const noexcept { return m_file; }

private:
    class Statement;
    struct DatabaseDeleter {
        void operator()(sqlite3* database) const noexcept;
    };

    void Execute(const char* sql);
    void CreateSchema();
    std::vector<PackageRecord> Packages(const std::string& sql, std::initializer_list<std::wstring_view> values);
    [[noreturn]] void Fail(int result) const;

    std::filesystem::path m_file;
    std::unique_ptr<sqlite3, DatabaseDeleter> m_database;
    std::function<void(std::wstring_view)> m_onRemove;
};

}  // namespace platform::deployment::local
