#include "platform/deployment/local/store/Store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>

#include "platform/Error.h"
#include "platform/Guid.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileError.h"
#include "platform/deployment/local/store/StoreFolders.h"

namespace platform::deployment::local {
namespace {

namespace fs = std::filesystem;

constexpr std::chrono::seconds kLockTimeout{60};
constexpr const char* kTrashSuffix = ".trash";
constexpr const char* kStagingLock = ".lock";
constexpr const char* kPendingSuffix = ".pending";

// Takes the flock, waiting at most kLockTimeout for another process to let go.
void LockFile(int fd, const fs::path& root) {
    const auto deadline = std::chrono::steady_clock::now() + kLockTimeout;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            const int error = errno;  // read before the text is built
            ThrowFileError(error, L"Cannot lock the package store " + PathText(root));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            Throw(kInUse, L"The package store " + PathText(root) + L" is held by another process.");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool EndsWith(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        return home;
    }
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && *found->pw_dir == '/') {
        return found->pw_dir;
    }
    return {};
}

bool IsStagingName(const std::string& name) {
    const std::string_view id = std::string_view(name).substr(0, name.find('.'));
    return id.size() == 36 && id.find_first_not_of("0123456789abcdefABCDEF-") == std::string_view::npos;
}

}  // namespace

fs::path Store::DefaultRoot() {
    if (const char* place = std::getenv("APPDEPLOY_STORE"); place != nullptr && *place != '\0') {
        std::error_code error;
        fs::path root = fs::absolute(place, error);
        if (error) {
            ThrowFileError(error.value(), L"Cannot use the package store " + FromUtf8Lossy(place));
        }
        return root;
    }
    if (::geteuid() == 0) {
        return "/var/lib/appdeploy";
    }
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
        return fs::path(data) / "appdeploy";
    }
    const std::string home = HomeFolder();
    if (home.empty()) {
        Throw(kPathNotFound, L"There is no place for the package store: set APPDEPLOY_STORE or HOME.");
    }
    return fs::path(home) / ".local" / "share" / "appdeploy";
}

// The store lock closes after the registry and the root folder (members go
// in reverse order).
Store::~Store() = default;

std::optional<fs::path> Store::InstalledBelow(const PackageIdentity& identity, bool anyArchitecture) {
    std::vector<PackageRecord> family;
    {
        const Lock lock(*this);
        family = lock.GetRegistry().FamilyPackages(FamilyName(identity));
    }
    const PackageRecord* closest = nullptr;
    for (const PackageRecord& record : family) {
        if (record.identity.version < identity.version &&
            (anyArchitecture || SameName(record.identity.architecture, identity.architecture)) &&
            (closest == nullptr || record.identity.version > closest->identity.version)) {
            closest = &record;
        }
    }
    if (closest == nullptr) {
        return std::nullopt;
    }
    return PackageDir(closest->fullName);
}

fs::path Store::PackageDir(std::wstring_view fullName) const {
    // Full names come from validated identities; this only keeps a bad one from
    // ever naming a place outside packages/.
    if (fullName.empty() || fullName == L"." || fullName == L".." || fullName.find(L'/') != std::wstring_view::npos ||
        fullName.find(L'\0') != std::wstring_view::npos) {
        Throw(kInvalidArgument, L"Not a package full name: " + std::wstring(fullName));
    }
    return m_packages / ToUtf8(fullName);
}

fs::path Store::NewStagingName(std::string_view suffix) const {
    const std::wstring id = GuidText(Guid::NewRandom());
    return m_staging / (ToUtf8(std::wstring_view(id).substr(1, id.size() - 2)) + std::string(suffix));
}

// Under the lock: notes on disk, before a package folder comes or goes, that
// the registry's next commit decides whether it stays.
void Store::Mark(std::wstring_view fullName) {
    const fs::path mark = m_staging / (ToUtf8(fullName) + kPendingSuffix);
    FileDescriptor file(::open(mark.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file) {
        const int failure = errno;
        ThrowFileError(failure, L"Cannot write in the package store " + PathText(m_staging));
    }
    m_marked.emplace_back(fullName);
    const FileDescriptor staging = OpenFolderAt(m_rootFolder.Get(), "staging");
    Flush(staging.Get(), PathText(m_staging));
}

// Under the lock. Work folders whose owner is gone (their lock is free), trash,
// and marked package folders the registry does not know are deleted; a
// registry entry whose folder has gone is forgotten. What the store cannot
// tell it made stays.
void Store::Sweep() {
    std::error_code error;
    std::set<std::wstring> marked;
    for (const auto& entry : fs::directory_iterator(m_staging, error)) {
        const fs::path path = entry.path();
        const std::string name = path.filename().native();
        std::error_code ignored;
        if (EndsWith(name, kPendingSuffix)) {
            if (auto fullName = FromUtf8(std::string_view(name).substr(0, name.size() - std::strlen(kPendingSuffix)))) {
                m_marked.push_back(*fullName);
                marked.insert(std::move(*fullName));
            }
            continue;
        }
        if (!IsStagingName(name)) {
            continue;
        }
        if (!entry.is_directory(ignored) || EndsWith(name, kTrashSuffix)) {
            fs::remove_all(path, ignored);
            continue;
        }
        // Work folders are made under the store lock, which we hold, so one
        // without its lock file is a leftover too.
        const FileDescriptor lock(::open((path / kStagingLock).c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
        if (!lock || ::flock(lock.Get(), LOCK_EX | LOCK_NB) == 0) {
            fs::remove_all(path, ignored);
        }
    }

    std::set<std::wstring> known;
    for (auto& name : m_registry->AllFullNames()) {
        known.insert(std::move(name));
    }
    std::vector<std::string> unknown;
    std::vector<fs::path> leftovers;
    for (const auto& entry : fs::directory_iterator(m_packages, error)) {
        const auto name = FromUtf8(entry.path().filename().native());
        if (name && known.count(*name) != 0) {
            continue;
        }
        if (name && marked.count(*name) != 0) {
            const fs::path trash = NewStagingName(kTrashSuffix);
            if (::rename(entry.path().c_str(), trash.c_str()) == 0) {
                leftovers.push_back(trash);
            }
        } else {
            unknown.push_back(entry.path().filename().native());
        }
    }
    if (known.empty() && !unknown.empty()) {
        Throw(kRegistryCorrupt, L"The package store " + PathText(m_root) + L" has package folders (" +
                                    FromUtf8Lossy(unknown.front()) + (unknown.size() > 1 ? L" and others" : L"") +
                                    L") that its registry " + PathText(m_registry->File()) +
                                    L" does not know; nothing was changed.");
    }
    if (!leftovers.empty()) {
        const FileDescriptor packages = OpenFolderAt(m_rootFolder.Get(), "packages");
        Flush(packages.Get(), PathText(m_packages));
        Discard(leftovers);
    }
    std::vector<std::wstring> missing;
    for (const auto& name : known) {
        std::error_code ignored;
        if (!fs::is_directory(fs::symlink_status(PackageDir(name), ignored))) {
            missing.push_back(name);
        }
    }
    if (!missing.empty()) {
        Registry::Transaction transaction(*m_registry);
        for (const auto& name : missing) {
            m_registry->RemovePackage(name);
        }
        transaction.Commit();
    }
}

Store::Lock::Lock(Store& store) : m_store(store), m_guard(store.m_mutex) { LockFile(store.m_lock.Get(), store.m_root); }

Store::Lock::~Lock() {
    ClearMarks();
    ::flock(m_store.m_lock.Get(), LOCK_UN);
}

// A mark goes once the registry and packages/ agree on its package; otherwise
// it stays for the next sweep.
void Store::Lock::ClearMarks() noexcept {
    auto& marked = m_store.m_marked;
    for (auto it = marked.begin(); it != marked.end();) {
        try {
            const fs::path folder = m_store.PackageDir(*it);
            struct stat status {};
            const bool present = ::lstat(folder.c_str(), &status) == 0;
            const bool known = m_store.m_registry && m_store.m_registry->FindPackage(*it).has_value();
            if (present == known) {
                ::unlink((m_store.m_staging / (ToUtf8(*it) + kPendingSuffix)).c_str());
            }
        } catch (...) {
            // kept for the next sweep
        }
        it = marked.erase(it);
    }
}

void Store::Lock::Install(const fs::path& staged, std::wstring_view fullName) {
    const fs::path target = m_store.PackageDir(fullName);
    m_store.Mark(fullName);
    ::chmod(staged.c_str(), 0755);  // whatever the umask: root refuses a folder others may write
    if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
        const int error = errno;  // read before the text is built
        if (error == EEXIST || error == ENOTEMPTY) {
            Throw(kAlreadyExists, L"Cannot put the package " + std::wstring(fullName) + L" in place: " +
                                      PathText(target) + L" exists and the registry does not know it.");
        }
        ThrowFileError(error, L"Cannot put the package " + std::wstring(fullName) + L" in place in " +
                                  PathText(m_store.m_packages));
    }
    // The move reaches the disk before the registry's commit names the package.
    const FileDescriptor packages = OpenFolderAt(m_store.m_rootFolder.Get(), "packages");
    Flush(packages.Get(), PathText(m_store.m_packages));
    const FileDescriptor from(::open(staged.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (from) {
        Flush(from.Get(), PathText(staged.parent_path()));
    }
}

fs::path Store::Lock::Withdraw(std::wstring_view fullName) {
    const fs::path trash = m_store.NewStagingName(kTrashSuffix);
    if (::rename(m_store.PackageDir(fullName).c_str(), trash.c_str()) != 0) {
        return {};  // already gone, or left for the next sweep
    }
    // Gone from packages/ on disk before its mark may go.
    const FileDescriptor packages = OpenFolderAt(m_store.m_rootFolder.Get(), "packages");
    if (!packages || ::fsync(packages.Get()) != 0) {
        m_store.m_marked.erase(std::remove(m_store.m_marked.begin(), m_store.m_marked.end(), fullName),
                               m_store.m_marked.end());
    }
    return trash;
}

std::unique_ptr<Store::StagingArea> Store::NewStagingArea() {
    Lock lock(*this);
    const fs::path path = NewStagingName("");
    if (::mkdir(path.c_str(), 0700) != 0) {
        const int error = errno;  // read before the text is built
        ThrowFileError(error, L"Cannot create a staging folder in " + PathText(m_staging));
    }
    FileDescriptor areaLock(::open((path / kStagingLock).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!areaLock || ::flock(areaLock.Get(), LOCK_EX | LOCK_NB) != 0) {
        const int failure = errno;
        areaLock.Close();
        std::error_code ignored;
        fs::remove_all(path, ignored);
        ThrowFileError(failure, L"Cannot create a staging folder in " + PathText(m_staging));
    }
    return std::make_unique<StagingArea>(path, std::move(areaLock));
}

// The folder goes while its lock is still held (the member closes after).
Store::StagingArea::~StagingArea() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
}

void Store::Discard(const std::vector<fs::path>& withdrawn) {
    for (const auto& path : withdrawn) {
        if (!path.empty()) {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    }
}

}  // namespace platform::deployment::local
