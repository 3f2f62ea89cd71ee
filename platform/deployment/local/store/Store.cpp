#include "platform/deployment/local/store/Store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>

#include "platform/Error.h"
#include "platform/Guid.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileError.h"

namespace platform::deployment::local {
namespace {

namespace fs = std::filesystem;

constexpr std::chrono::seconds kLockTimeout{60};
constexpr const char* kTrashSuffix = ".trash";
constexpr const char* kStagingLock = ".lock";

void CreateFolder(const fs::path& folder, const fs::path& root) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        ThrowFileError(error.value(), L"Cannot create the package store " + PathText(root));
    }
}

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

Store::Store(fs::path root)
    : m_root(std::move(root)), m_packages(m_root / "packages"), m_staging(m_root / "staging") {
    CreateFolder(m_packages, m_root);
    CreateFolder(m_staging, m_root);
    const fs::path lockFile = m_root / "store.lock";
    m_lock = FileDescriptor(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!m_lock) {
        const int error = errno;  // read before the text is built
        ThrowFileError(error, L"Cannot open the package store " + PathText(m_root));
    }
    Lock lock(*this);
    m_registry = std::make_unique<Registry>(m_root / "registry.db");
    Sweep();
}

// The registry closes before the lock file (members go in reverse order).
Store::~Store() = default;

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

// Under the lock. Work folders whose owner is gone (their lock is free), trash,
// and package folders the registry does not know are deleted; a registry entry
// whose folder has gone is forgotten.
void Store::Sweep() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(m_staging, error)) {
        const fs::path path = entry.path();
        std::error_code ignored;
        if (!entry.is_directory(ignored) || EndsWith(path.filename().native(), kTrashSuffix)) {
            fs::remove_all(path, ignored);
            continue;
        }
        // Work folders are made under the store lock, which we hold, so one
        // without its lock file is a leftover too.
        const FileDescriptor lock(::open((path / kStagingLock).c_str(), O_RDWR | O_CLOEXEC));
        if (!lock || ::flock(lock.Get(), LOCK_EX | LOCK_NB) == 0) {
            fs::remove_all(path, ignored);
        }
    }

    std::set<std::wstring> known;
    for (auto& name : m_registry->AllFullNames()) {
        known.insert(std::move(name));
    }
    for (const auto& entry : fs::directory_iterator(m_packages, error)) {
        const auto name = FromUtf8(entry.path().filename().native());
        if (!name || known.count(*name) == 0) {
            std::error_code ignored;
            fs::remove_all(entry.path(), ignored);
        }
    }
    std::vector<std::wstring> missing;
    for (const auto& name : known) {
        std::error_code ignored;
        if (!fs::is_directory(PackageDir(name), ignored)) {
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

Store::Lock::~Lock() { ::flock(m_store.m_lock.Get(), LOCK_UN); }

void Store::Lock::Install(const fs::path& staged, std::wstring_view fullName) {
    const fs::path target = m_store.PackageDir(fullName);
    std::error_code ignored;
    fs::remove_all(target, ignored);
    if (::rename(staged.c_str(), target.c_str()) != 0) {
        const int error = errno;  // read before the text is built
        ThrowFileError(error, L"Cannot put the package " + std::wstring(fullName) + L" in place in " +
                                  PathText(m_store.m_packages));
    }
}

fs::path Store::Lock::Withdraw(std::wstring_view fullName) {
    const fs::path trash = m_store.NewStagingName(kTrashSuffix);
    if (::rename(m_store.PackageDir(fullName).c_str(), trash.c_str()) != 0) {
        return {};  // already gone, or left for the next sweep
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
