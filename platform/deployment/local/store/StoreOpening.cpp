// How a folder becomes, or is recognised as, a package store: its mark, the
// registry it must have, and as root the trust that no one else can change it.
#include "platform/deployment/local/store/Store.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <vector>
#include <string_view>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileError.h"
#include "platform/deployment/local/store/StoreFolders.h"

namespace platform::deployment::local {
namespace {

namespace fs = std::filesystem;

void CreateFolder(const fs::path& folder, const fs::path& root) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        ThrowFileError(error.value(), L"Cannot create the package store " + PathText(root));
    }
}

// store.lock's content: what makes a folder a store, and the layout it has.
constexpr std::string_view kStoreMark = "appdeploy package store\nlayout 1\n";
constexpr const char* kLockFile = "store.lock";
constexpr const char* kRegistryFile = "registry.db";
// What a store of an earlier layout may hold beside an empty store.lock.
const std::set<std::string> kStoreEntries = {"packages",        "staging",         "store.lock",         "registry.db",
                                             "registry.db-wal", "registry.db-shm", "registry.db-journal", kTrustedFolderName};

// A folder's entries but trusted/, which may be there before the store is.
std::vector<std::string> EntriesBesideTrusted(int folder) {
    std::vector<std::string> entries = FolderEntries(folder);
    std::erase(entries, kTrustedFolderName);
    return entries;
}

bool IsRoot() { return ::geteuid() == 0; }

std::wstring ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return FromUtf8Lossy(text);
}

// As root, a store that anyone else may change could point root's writes
// anywhere: each entry must be root's own, writable by no one else, and not a
// symbolic link.
void CheckOwnEntry(const struct stat& status, const fs::path& path) {
    if (S_ISLNK(status.st_mode)) {
        Throw(kAccessDenied, L"The package store entry " + PathText(path) +
                                 L" is a symbolic link; as root the store follows none.");
    }
    if (status.st_uid != ::geteuid()) {
        Throw(kAccessDenied, L"The package store entry " + PathText(path) + L" belongs to another user (uid " +
                                 std::to_wstring(status.st_uid) + L"); as root the store uses only its own files.");
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        Throw(kAccessDenied, L"The package store entry " + PathText(path) + L" may be written by other users (mode " +
                                 ModeText(status.st_mode) + L"); as root the store uses only files no one else may change.");
    }
}

[[noreturn]] void ThrowNotAStore(const fs::path& root) {
    Throw(kFolderNotEmpty, L"The folder " + PathText(root) +
                               L" is not a package store and holds other files; nothing in it was changed. "
                               L"Choose an empty or new folder for the store.");
}

}  // namespace

Store::Store(fs::path root)
    : m_root(std::move(root)), m_packages(m_root / "packages"), m_staging(m_root / "staging") {
    // The store's own folder may be reached through a link; nothing below it is.
    std::error_code error;
    if (!fs::is_directory(m_root, error)) {
        CreateFolder(m_root, m_root);
        ::chmod(m_root.c_str(), 0755);  // whatever the umask: root refuses a store others may write
    }
    m_rootFolder = FileDescriptor(::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_rootFolder) {
        const int failure = errno;  // read before the text is built
        ThrowFileError(failure, L"Cannot open the package store " + PathText(m_root));
    }
    if (IsRoot()) {
        struct stat status {};
        if (::fstat(m_rootFolder.Get(), &status) != 0) {
            const int failure = errno;
            ThrowFileError(failure, L"Cannot open the package store " + PathText(m_root));
        }
        CheckOwnEntry(status, m_root);
    }
    OpenLock();
    Lock lock(*this);
    Recognise();
    for (const char* folder : {"packages", "staging"}) {
        if (::mkdirat(m_rootFolder.Get(), folder, std::string_view(folder) == "staging" ? 0700 : 0755) != 0 &&
            errno != EEXIST) {
            const int failure = errno;
            ThrowFileError(failure, L"Cannot create the package store " + PathText(m_root));
        }
    }
    Flush(m_rootFolder.Get(), L"the package store " + PathText(m_root));
    CheckEntries();
    CheckRegistryPresent();
    m_registry = std::make_unique<Registry>(m_root / kRegistryFile);
    m_registry->OnRemove([this](std::wstring_view fullName) { Mark(fullName); });
    Sweep();
}

// Under the lock: a store.lock with the mark is a store; an empty one is this
// store's earlier layout, or another process's new store not yet marked, and
// is marked; anything else is foreign.
void Store::Recognise() {
    std::string mark(kStoreMark.size() + 1, '\0');
    const ssize_t read = ::pread(m_lock.Get(), mark.data(), mark.size(), 0);
    mark.resize(read > 0 ? static_cast<std::size_t>(read) : 0);
    if (mark != kStoreMark) {
        bool adoptable = mark.empty();
        for (const auto& name : FolderEntries(m_rootFolder.Get())) {
            adoptable = adoptable && (m_created ? name == kLockFile || name == kTrustedFolderName
                                                : kStoreEntries.count(name) != 0);
        }
        if (!adoptable) {
            ThrowNotAStore(m_root);
        }
        if (::ftruncate(m_lock.Get(), 0) != 0 ||
            ::pwrite(m_lock.Get(), kStoreMark.data(), kStoreMark.size(), 0) != static_cast<ssize_t>(kStoreMark.size())) {
            const int failure = errno;
            ThrowFileError(failure, L"Cannot create the package store " + PathText(m_root));
        }
        Flush(m_lock.Get(), L"the package store " + PathText(m_root));
    }
    struct stat status {};
    if (::fstat(m_lock.Get(), &status) == 0 && (status.st_mode & 077) != 0) {
        ::fchmod(m_lock.Get(), status.st_mode & 0700);  // an earlier layout's lock, readable by all
    }
}

// store.lock, opened without following a link and readable by its owner only:
// anyone who may open it may hold the store's lock.
void Store::OpenLock() {
    for (;;) {
        m_lock = FileDescriptor(::openat(m_rootFolder.Get(), kLockFile, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
        if (m_lock || errno != ENOENT) {
            break;
        }
        // Another process may have just made the store's first file.
        const auto entries = EntriesBesideTrusted(m_rootFolder.Get());
        if (entries.size() == 1 && entries.front() == kLockFile) {
            continue;
        }
        if (!entries.empty()) {
            ThrowNotAStore(m_root);
        }
        m_lock = FileDescriptor(
            ::openat(m_rootFolder.Get(), kLockFile, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (m_lock || errno != EEXIST) {
            m_created = true;
            break;
        }
    }
    struct stat status {};
    if (!m_lock || ::fstat(m_lock.Get(), &status) != 0) {
        const int failure = errno;  // read before the text is built
        ThrowFileError(failure == ELOOP ? EACCES : failure, L"Cannot open the package store " + PathText(m_root));
    }
    if (!S_ISREG(status.st_mode)) {
        Throw(kAccessDenied, L"The package store " + PathText(m_root) + L" has a store.lock that is not a file.");
    }
    if (IsRoot()) {
        CheckOwnEntry(status, m_root / kLockFile);
    }
}

// Under the lock. The store's entries are what they should be (folders and
// files, never links); as root, every one of them and of packages/, staging/
// and trusted/ is root's and writable by no one else.
void Store::CheckEntries() const {
    const auto check = [](int folder, const std::string& name, const fs::path& path) {
        struct stat status {};
        if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            return;  // gone meanwhile
        }
        if (IsRoot()) {
            CheckOwnEntry(status, path);
        }
        const bool isFolder = name == "packages" || name == "staging" || name == kTrustedFolderName;
        if ((isFolder && !S_ISDIR(status.st_mode)) || (name == kRegistryFile && !S_ISREG(status.st_mode))) {
            Throw(kAccessDenied, L"The package store entry " + PathText(path) + L" is not a " +
                                     (isFolder ? L"folder." : L"file."));
        }
    };
    for (const auto& name : FolderEntries(m_rootFolder.Get())) {
        check(m_rootFolder.Get(), name, m_root / name);
    }
    if (!IsRoot()) {
        return;
    }
    for (const char* folderName : {"packages", "staging", kTrustedFolderName}) {
        if (std::string_view(folderName) == kTrustedFolderName &&
            ::faccessat(m_rootFolder.Get(), folderName, F_OK, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;  // a store need not trust anyone
        }
        const FileDescriptor folder = OpenFolderAt(m_rootFolder.Get(), folderName);
        for (const auto& name : FolderEntries(folder.Get())) {
            check(folder.Get(), name, m_root / folderName / name);
        }
    }
}

// A registry that is missing or empty while package folders exist has lost
// track of them: the store is refused rather than made to forget them.
void Store::CheckRegistryPresent() const {
    struct stat status {};
    const bool missing = ::fstatat(m_rootFolder.Get(), kRegistryFile, &status, AT_SYMLINK_NOFOLLOW) != 0;
    if (!missing && status.st_size > 0) {
        return;
    }
    const FileDescriptor packages = OpenFolderAt(m_rootFolder.Get(), "packages");
    if (!FolderEntries(packages.Get()).empty()) {
        Throw(kRegistryCorrupt, L"The package store " + PathText(m_root) + L" has installed packages, but its registry " +
                                    PathText(m_root / kRegistryFile) + (missing ? L" is missing" : L" is empty") +
                                    L"; nothing was changed.");
    }
}

}  // namespace platform::deployment::local
