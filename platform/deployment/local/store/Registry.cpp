#include "platform/deployment/local/store/Registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileDescriptor.h"
#include "platform/deployment/local/FileError.h"

namespace platform::deployment::local {
namespace {

constexpr int kBusyTimeoutMs = 30000;
constexpr int kSchemaVersion = 2;
// "appd": marks the database as this store's registry.
constexpr std::int64_t kApplicationId = 0x61707064;

constexpr const char* kSchema = R"sql(
CREATE TABLE package (
    full_name    TEXT PRIMARY KEY NOT NULL,
    family_name  TEXT NOT NULL,
    name         TEXT NOT NULL,
    publisher    TEXT NOT NULL,
    major        INTEGER NOT NULL,
    minor        INTEGER NOT NULL,
    build        INTEGER NOT NULL,
    revision     INTEGER NOT NULL,
    architecture TEXT NOT NULL,
    resource_id  TEXT NOT NULL
);
CREATE INDEX package_family ON package (family_name);
CREATE TABLE registration (
    user_id   TEXT NOT NULL,
    full_name TEXT NOT NULL REFERENCES package (full_name) ON DELETE CASCADE,
    PRIMARY KEY (user_id, full_name)
);
CREATE TABLE provisioned (
    family_name TEXT PRIMARY KEY NOT NULL
);
)sql";

// Version 2: names match without regard to ASCII case, as the platform matches
// them (package names and publisher ids are ASCII). The tables keep each name
// as the package spells it; these indexes make the names unique and found
// regardless of case. Every comparison of a name below says COLLATE NOCASE.
constexpr const char* kNoCaseIndexes = R"sql(
CREATE UNIQUE INDEX package_full_name_nocase ON package (full_name COLLATE NOCASE);
CREATE INDEX package_family_nocase ON package (family_name COLLATE NOCASE);
CREATE UNIQUE INDEX registration_nocase ON registration (user_id, full_name COLLATE NOCASE);
CREATE UNIQUE INDEX provisioned_nocase ON provisioned (family_name COLLATE NOCASE);
)sql";

// A version-1 registry may have recorded one family as provisioned under two
// spellings: they are one family.
constexpr const char* kMergeProvisioned =
    "DELETE FROM provisioned WHERE rowid NOT IN "
    "(SELECT MIN(rowid) FROM provisioned GROUP BY family_name COLLATE NOCASE)";

// Two packages of a version-1 registry whose full names differ only in case.
constexpr const char* kCaseTwins =
    "SELECT a.full_name, b.full_name FROM package a JOIN package b "
    "ON a.full_name = b.full_name COLLATE NOCASE AND a.rowid < b.rowid LIMIT 1";

constexpr const char* kPackageColumns =
    "SELECT p.full_name, p.family_name, p.name, p.publisher, p.major, p.minor, p.build, p.revision, "
    "p.architecture, p.resource_id FROM package p ";
constexpr const char* kVersionOrder = " ORDER BY p.major, p.minor, p.build, p.revision, p.full_name";

}  // namespace

void Registry::DatabaseDeleter::operator()(sqlite3* database) const noexcept { sqlite3_close_v2(database); }

// A prepared statement; every failure goes through the registry's Fail.
class Registry::Statement {
public:
    Statement(const Registry& registry, const std::string& sql) : m_registry(registry) {
        sqlite3_stmt* statement = nullptr;
        const int result = sqlite3_prepare_v2(registry.m_database.get(), sql.c_str(), -1, &statement, nullptr);
        m_statement.reset(statement);
        if (result != SQLITE_OK) {
            registry.Fail(result);
        }
    }

    Statement& Bind(int index, std::wstring_view text) {
        const std::string bytes = ToUtf8(text);
        Check(sqlite3_bind_text(m_statement.get(), index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& Bind(int index, std::int64_t value) {
        Check(sqlite3_bind_int64(m_statement.get(), index, value));
        return *this;
    }

    // True while there is a row to read.
    bool Step() {
        const int result = sqlite3_step(m_statement.get());
        if (result == SQLITE_ROW) {
            return true;
        }
        if (result != SQLITE_DONE) {
            m_registry.Fail(result);
        }
        return false;
    }

    std::wstring Text(int column) const {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(m_statement.get(), column));
        const int size = sqlite3_column_bytes(m_statement.get(), column);
        auto text = FromUtf8(std::string_view(bytes != nullptr ? bytes : "", static_cast<std::size_t>(size)));
        if (!text) {
            Throw(kRegistryCorrupt, L"The package registry " + PathText(m_registry.m_file) + L" holds a text that is not UTF-8.");
        }
        return std::move(*text);
    }
    std::int64_t Integer(int column) const { return sqlite3_column_int64(m_statement.get(), column); }

private:
    void Check(int result) const {
        if (result != SQLITE_OK) {
            m_registry.Fail(result);
        }
    }

    struct StatementDeleter {
        void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
    };

    const Registry& m_registry;
    std::unique_ptr<sqlite3_stmt, StatementDeleter> m_statement;
};

Registry::Registry(std::filesystem::path file) : m_file(std::move(file)) {
    // SQLite gives its -wal and -shm files the database file's mode, so they
    // are the owner's alone too. The descriptor closes before SQLite opens the
    // file: closing one would drop SQLite's POSIX locks on it.
    {
        const FileDescriptor own(::open(m_file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!own && errno == ELOOP) {
            Throw(kAccessDenied, L"The package registry " + PathText(m_file) + L" is a symbolic link.");
        }
        struct stat status {};
        if (own && ::fstat(own.Get(), &status) == 0 && (status.st_mode & 077) != 0) {
            ::fchmod(own.Get(), status.st_mode & 0700);
            for (const char* suffix : {"-wal", "-shm"}) {
                ::chmod((m_file.native() + suffix).c_str(), status.st_mode & 0700);
            }
        }
    }
    sqlite3* database = nullptr;
    const int result = sqlite3_open_v2(m_file.c_str(), &database,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    m_database.reset(database);
    if (result != SQLITE_OK) {
        Fail(result);
    }
    sqlite3_extended_result_codes(database, 1);
    sqlite3_busy_timeout(database, kBusyTimeoutMs);
    // WAL lets readers go on while a writer commits; a commit is one atomic
    // append, so a crash at any moment leaves the last committed state.
    Execute("PRAGMA journal_mode = WAL");
    Execute("PRAGMA synchronous = FULL");
    Execute("PRAGMA foreign_keys = ON");
    CreateSchema();
}

Registry::~Registry() = default;

void Registry::Fail(int result) const {
    sqlite3* database = m_database.get();
    const std::wstring detail = database != nullptr ? FromUtf8Lossy(sqlite3_errmsg(database))
                                                    : FromUtf8Lossy(sqlite3_errstr(result));
    const std::wstring text = L"The package registry " + PathText(m_file) + L" cannot be used: " + detail + L".";
    switch (result & 0xFF) {
        case SQLITE_NOMEM:
            Throw(kOutOfMemory);
        case SQLITE_FULL:
            Throw(kStoreDiskFull, text);
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            Throw(kInUse, text);
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_AUTH:
            Throw(kAccessDenied, text);
        case SQLITE_CANTOPEN:
        case SQLITE_IOERR: {
            const int error = database != nullptr ? sqlite3_system_errno(database) : 0;
            const hresult code = error != 0 ? CodeFromErrno(error) : kFail;
            Throw(code == kFail ? kRegistryCorrupt : code, text);
        }
        default:
            Throw(kRegistryCorrupt, text);
    }
}

void Registry::Execute(const char* sql) {
    char* message = nullptr;
    const int result = sqlite3_exec(m_database.get(), sql, nullptr, nullptr, &message);
    sqlite3_free(message);
    if (result != SQLITE_OK) {
        Fail(result);
    }
}

// A new database gets the schema and the store's mark; one of the first
// layout, made before the mark existed, gets the mark.
void Registry::CreateSchema() {
    Transaction transaction(*this);
    const auto number = [this](const char* sql) {
        Statement statement(*this, sql);
        statement.Step();
        return statement.Integer(0);
    };
    const std::int64_t current = number("PRAGMA user_version");
    const std::int64_t application = number("PRAGMA application_id");
    const bool blank = number("SELECT COUNT(*) FROM sqlite_master") == 0;
    const bool firstLayout = application == 0 && current == 1 &&
                             number("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'package'") == 1;
    if (application != kApplicationId && !(application == 0 && (blank || firstLayout))) {
        Throw(kRegistryCorrupt, L"The package registry " + PathText(m_file) + L" is not a registry of this store.");
    }
    if (application == 0) {
        Execute(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
    }
    if (current == 0) {
        Execute(kSchema);
    }
    if (current == 0 || current == 1) {
        Statement twins(*this, kCaseTwins);
        if (twins.Step()) {
            Throw(kRegistryCorrupt, L"The package registry " + PathText(m_file) + L" holds the packages " +
                                        twins.Text(0) + L" and " + twins.Text(1) +
                                        L", whose names differ only in case; remove one of them with the version "
                                        L"of the tool that installed them.");
        }
        Execute(kMergeProvisioned);
        Execute(kNoCaseIndexes);
        Execute(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    } else if (current != kSchemaVersion) {
        Throw(kRegistryCorrupt, L"The package registry " + PathText(m_file) + L" has an unknown layout (version " +
                                    std::to_wstring(current) + L").");
    }
    transaction.Commit();
}

Registry::Transaction::Transaction(Registry& registry) : m_registry(&registry) {
    registry.Execute("BEGIN IMMEDIATE");
}

Registry::Transaction::~Transaction() {
    if (!m_done) {
        sqlite3_exec(m_registry->m_database.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void Registry::Transaction::Commit() {
    m_registry->Execute("COMMIT");
    m_done = true;
}

std::vector<PackageRecord> Registry::Packages(const std::string& sql, std::initializer_list<std::wstring_view> values) {
    Statement statement(*this, sql);
    int index = 0;
    for (const std::wstring_view value : values) {
        statement.Bind(++index, value);
    }
    std::vector<PackageRecord> records;
    while (statement.Step()) {
        PackageRecord record;
        record.fullName = statement.Text(0);
        record.familyName = statement.Text(1);
        record.identity.name = statement.Text(2);
        record.identity.publisher = statement.Text(3);
        const std::int64_t parts[4] = {statement.Integer(4), statement.Integer(5), statement.Integer(6),
                                        statement.Integer(7)};
        for (const std::int64_t part : parts) {
            if (part < 0 || part > 0xFFFF) {
                Throw(kRegistryCorrupt, L"The package registry " + PathText(m_file) + L" holds a version that is not valid.");
            }
        }
        record.identity.version = Version{static_cast<std::uint16_t>(parts[0]), static_cast<std::uint16_t>(parts[1]),
                                          static_cast<std::uint16_t>(parts[2]), static_cast<std::uint16_t>(parts[3])};
        record.identity.architecture = statement.Text(8);
        record.identity.resourceId = statement.Text(9);
        // The full name becomes a folder name: only a name that the identity
        // really produces may come out of here.
        if (!IsValidPackageName(record.identity.name) || !IsValidArchitecture(record.identity.architecture) ||
            !IsValidFullNameResourceId(record.identity.resourceId) || FullName(record.identity) != record.fullName ||
            FamilyName(record.identity) != record.familyName) {
            Throw(kRegistryCorrupt, L"The package registry " + PathText(m_file) + L" holds a package entry that is not valid: " +
                                        record.fullName + L".");
        }
        records.push_back(std::move(record));
    }
    return records;
}

std::optional<PackageRecord> Registry::FindPackage(std::wstring_view fullName) {
    auto records = Packages(std::string(kPackageColumns) + "WHERE p.full_name = ?1 COLLATE NOCASE", {fullName});
    if (records.empty()) {
        return std::nullopt;
    }
    return std::move(records.front());
}

std::vector<PackageRecord> Registry::FamilyPackages(std::wstring_view familyName) {
    return Packages(std::string(kPackageColumns) + "WHERE p.family_name = ?1 COLLATE NOCASE" + kVersionOrder,
                    {familyName});
}

std::vector<PackageRecord> Registry::UserPackages(std::wstring_view userId, std::wstring_view familyName) {
    return Packages(std::string(kPackageColumns) +
                        "JOIN registration r ON r.full_name = p.full_name "
                        "WHERE r.user_id = ?1 AND p.family_name = ?2 COLLATE NOCASE" +
                        kVersionOrder,
                    {userId, familyName});
}

std::vector<std::wstring> Registry::AllFullNames() {
    Statement statement(*this, "SELECT full_name FROM package");
    std::vector<std::wstring> names;
    while (statement.Step()) {
        names.push_back(statement.Text(0));
    }
    return names;
}

void Registry::AddPackage(const PackageIdentity& identity) {
    Statement statement(*this,
                        "INSERT INTO package (full_name, family_name, name, publisher, major, minor, build, revision, "
                        "architecture, resource_id) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    statement.Bind(1, FullName(identity))
        .Bind(2, FamilyName(identity))
        .Bind(3, identity.name)
        .Bind(4, identity.publisher)
        .Bind(5, std::int64_t{identity.version.major})
        .Bind(6, std::int64_t{identity.version.minor})
        .Bind(7, std::int64_t{identity.version.build})
        .Bind(8, std::int64_t{identity.version.revision})
        .Bind(9, identity.architecture)
        .Bind(10, identity.resourceId);
    statement.Step();
}

void Registry::RemovePackage(std::wstring_view fullName) {
    if (m_onRemove) {
        m_onRemove(fullName);
    }
    Statement(*this, "DELETE FROM package WHERE full_name = ?1 COLLATE NOCASE").Bind(1, fullName).Step();
}

void Registry::Register(std::wstring_view userId, std::wstring_view fullName) {
    // Under the package's own spelling of its name, whatever the caller's.
    Statement(*this,
              "INSERT OR IGNORE INTO registration (user_id, full_name) "
              "SELECT ?1, full_name FROM package WHERE full_name = ?2 COLLATE NOCASE")
        .Bind(1, userId)
        .Bind(2, fullName)
        .Step();
}

void Registry::Unregister(std::wstring_view userId, std::wstring_view fullName) {
    Statement(*this, "DELETE FROM registration WHERE user_id = ?1 AND full_name = ?2 COLLATE NOCASE")
        .Bind(1, userId)
        .Bind(2, fullName)
        .Step();
}

bool Registry::IsRegistered(std::wstring_view userId, std::wstring_view fullName) {
    return Statement(*this, "SELECT 1 FROM registration WHERE user_id = ?1 AND full_name = ?2 COLLATE NOCASE")
        .Bind(1, userId)
        .Bind(2, fullName)
        .Step();
}

int Registry::RegistrationCount(std::wstring_view fullName) {
    Statement statement(*this, "SELECT COUNT(*) FROM registration WHERE full_name = ?1 COLLATE NOCASE");
    statement.Bind(1, fullName).Step();
    return static_cast<int>(statement.Integer(0));
}

bool Registry::IsProvisioned(std::wstring_view familyName) {
    return Statement(*this, "SELECT 1 FROM provisioned WHERE family_name = ?1 COLLATE NOCASE").Bind(1, familyName).Step();
}

bool Registry::IsUnused(const PackageRecord& package) {
    if (RegistrationCount(package.fullName) > 0) {
        return false;
    }
    if (!IsProvisioned(package.familyName)) {
        return true;
    }
    const auto family = FamilyPackages(package.familyName);
    // A bundle's packages share the newest version.
    return !family.empty() && family.back().identity.version != package.identity.version;
}

void Registry::Provision(std::wstring_view familyName) {
    Statement(*this,
              "INSERT OR IGNORE INTO provisioned (family_name) SELECT COALESCE("
              "(SELECT family_name FROM package WHERE family_name = ?1 COLLATE NOCASE LIMIT 1), ?1)")
        .Bind(1, familyName)
        .Step();
}

void Registry::Deprovision(std::wstring_view familyName) {
    Statement(*this, "DELETE FROM provisioned WHERE family_name = ?1 COLLATE NOCASE").Bind(1, familyName).Step();
}

}  // namespace platform::deployment::local
