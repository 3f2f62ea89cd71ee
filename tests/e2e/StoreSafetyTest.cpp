// The built tool against stores and sources a careless or hostile user sets
// up: a folder that is not a store, a lost registry, a store another user can
// change (as root), the lock and registry out of other users' reach, sources
// that never end, a disk that fills, and the order in which an add reaches
// the disk.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/Utf8.h"
#include "tests/support/HttpServer.h"
#include "tests/support/RunProcess.h"
#include "tests/support/StoreTesting.h"

namespace {

using store_testing::FamilyNameOf;
using store_testing::FileUri;
using store_testing::FullNameOf;
using store_testing::SampleIdentity;
using store_testing::TempDir;
using test_support::HttpServer;
using test_support::ProcessOptions;
using test_support::ProcessResult;
namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

// Every path under `root` (links not followed) with its type, owner and
// content, to show that nothing changed.
std::string Tree(const fs::path& root) {
    std::map<std::string, std::string> entries;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        struct stat status {};
        ::lstat(it->path().c_str(), &status);
        std::string what = std::to_string(status.st_mode) + " " + std::to_string(status.st_uid);
        if (S_ISREG(status.st_mode)) {
            what += " " + store_testing::ReadFile(it->path());
        } else if (S_ISLNK(status.st_mode)) {
            what += " -> " + fs::read_symlink(it->path()).string();
        }
        entries[fs::relative(it->path(), root).string()] = what;
    }
    std::string text;
    for (const auto& [name, what] : entries) {
        text += name + ": " + what + "\n";
    }
    return text;
}

class StoreSafety : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(m_source);
        m_uri = FileUri(store_testing::WriteSample(m_source, m_identity, "p.appx", "p.appinstaller"));
    }

    ProcessResult Run(const std::vector<std::string>& args, const fs::path& store) {
        ProcessOptions options;
        options.env.emplace_back("APPDEPLOY_STORE", store.string());
        options.killAfter = std::chrono::seconds(60);
        return test_support::RunProcess(APPDEPLOY_EXE, args, options);
    }
    ProcessResult Add(const fs::path& store) { return Run({"-i", m_uri}, store); }
    ProcessResult Remove(const fs::path& store) { return Run({"-x", "-f", Family()}, store); }
    std::string Family() const { return platform::ToUtf8(FamilyNameOf(m_identity)); }
    fs::path PackageFolder(const fs::path& store) const { return store / "packages" / platform::ToUtf8(FullNameOf(m_identity)); }

    static void ExpectRefused(const ProcessResult& result, const std::string& code, const std::string& text) {
        EXPECT_EQ(result.exitStatus, 1) << result.err;
        EXPECT_NE(result.err.find("code=0x" + code), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(text), std::string::npos) << result.err;
    }

    TempDir m_dir;
    fs::path m_store = store_testing::TrustingStore(m_dir / "store");
    fs::path m_source = m_dir / "source";
    packaging::Identity m_identity = SampleIdentity("1.0.0.0");
    std::string m_uri;
};

TEST_F(StoreSafety, AFolderThatIsNotAStoreIsLeftAsItIs) {
    const fs::path work = m_dir / "work";
    fs::create_directories(work / "packages" / "thesis");
    fs::create_directories(work / "staging" / "draft");
    std::ofstream(work / "packages" / "thesis" / "chapter1.txt") << "years of work";
    std::ofstream(work / "staging" / "draft" / "notes.txt") << "notes";
    std::ofstream(work / "store.lock") << "not the store's";
    for (const bool withLockFile : {true, false}) {
        if (!withLockFile) {
            fs::remove(work / "store.lock");
        }
        const std::string before = Tree(work);
        for (const auto& args : {std::vector<std::string>{"-x", "-f", "Some.Family_0000000000000"},
                                 std::vector<std::string>{"-i", m_uri}}) {
            ExpectRefused(Run(args, work), "80070091", "is not a package store");
            EXPECT_EQ(Tree(work), before);
        }
    }
}

TEST_F(StoreSafety, ALostRegistryNeverCostsAnInstalledPackage) {
    const std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> losses{
        {"removed", [](const fs::path& registry) { fs::remove(registry); }},
        {"emptied", [](const fs::path& registry) { fs::resize_file(registry, 0); }},
        {"rows deleted", [](const fs::path& registry) {
             sqlite3* database = nullptr;
             sqlite3_open(registry.c_str(), &database);
             sqlite3_exec(database, "DELETE FROM registration; DELETE FROM package", nullptr, nullptr, nullptr);
             sqlite3_close(database);
         }}};
    for (const auto& [name, lose] : losses) {
        SCOPED_TRACE(name);
        fs::remove_all(m_store);
        store_testing::TrustingStore(m_store);
        ASSERT_EQ(Add(m_store).exitStatus, 0);
        lose(m_store / "registry.db");
        const std::string before = Tree(m_store / "packages");
        ExpectRefused(Remove(m_store), "80073cfe", m_store.string());
        ExpectRefused(Add(m_store), "80073cfe", m_store.string());
        EXPECT_EQ(Tree(m_store / "packages"), before);
        EXPECT_TRUE(fs::exists(PackageFolder(m_store) / "App.exe"));
    }
}

TEST_F(StoreSafety, RootRefusesAStoreOthersCanChangeAndFollowsNoLinkInIt) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the store is another real user's (uid 65534)";
    }
    const fs::path outside = m_dir / "outside";
    fs::create_directories(outside / "staging");
    std::ofstream(outside / "victim") << "precious";
    std::ofstream(outside / "staging" / "01234567-89ab-cdef-0123-456789abcdef.trash") << "precious too";
    const std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> attacks{
        {"owned by another user",
         [&](const fs::path& store) {
             fs::remove_all(store / "staging");
             fs::create_directory_symlink(outside / "staging", store / "staging");
             ::lchown((store / "staging").c_str(), kNobody, kNobody);
             ::chown(store.c_str(), kNobody, kNobody);
         }},
        {"writable by others", [&](const fs::path& store) { fs::permissions(store, fs::perms::all); }},
        {"trusted/ writable by others",
         [&](const fs::path& store) { fs::permissions(store / "trusted", fs::perms::all); }},
        {"a certificate in trusted/ writable by others",
         [&](const fs::path& store) {
             std::ofstream(store / "trusted" / "planted.pem") << "-----BEGIN CERTIFICATE-----\n";
             fs::permissions(store / "trusted" / "planted.pem", fs::perms::all);
         }},
        {"a link in trusted/",
         [&](const fs::path& store) { fs::create_symlink(outside / "victim", store / "trusted" / "victim.pem"); }},
        {"another user's link in packages",
         [&](const fs::path& store) {
             fs::create_directory_symlink(outside, store / "packages" / "Evil_1.0.0.0_x64__0000000000000");
             ::lchown((store / "packages" / "Evil_1.0.0.0_x64__0000000000000").c_str(), kNobody, kNobody);
         }},
        {"packages is a link", [&](const fs::path& store) {
             fs::rename(store / "packages", m_dir / "moved");
             fs::create_directory_symlink(outside, store / "packages");
         }}};
    for (const auto& [name, attack] : attacks) {
        SCOPED_TRACE(name);
        fs::remove_all(m_store);
        store_testing::TrustingStore(m_store);
        fs::remove_all(m_dir / "moved");
        ASSERT_EQ(Add(m_store).exitStatus, 0);
        attack(m_store);
        const std::string before = Tree(outside);
        ExpectRefused(Remove(m_store), "80070005", m_store.string());
        ExpectRefused(Add(m_store), "80070005", m_store.string());
        EXPECT_EQ(Tree(outside), before) << "nothing outside the store was touched";
    }
    // The store's own folder may be reached through a link.
    fs::remove_all(m_store);
    store_testing::TrustingStore(m_dir / "real");
    fs::create_directory_symlink(m_dir / "real", m_store);
    EXPECT_EQ(Add(m_store).exitStatus, 0);
    EXPECT_TRUE(fs::exists(m_dir / "real" / "packages" / platform::ToUtf8(FullNameOf(m_identity)) / "App.exe"));
}

TEST_F(StoreSafety, OnlyTheOwnerMayReadTheLockAndTheRegistry) {
    ASSERT_EQ(Add(m_store).exitStatus, 0);
    const auto mode = [](const fs::path& path) {
        struct stat status {};
        ::stat(path.c_str(), &status);
        return status.st_mode & 0777;
    };
    EXPECT_EQ(mode(m_store / "store.lock"), 0600u);
    EXPECT_EQ(mode(m_store / "registry.db"), 0600u);
    EXPECT_EQ(mode(m_store / "staging"), 0700u);
    EXPECT_EQ(mode(PackageFolder(m_store) / "readme.txt") & 0004, 0004u) << "installed files stay readable";
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: another real user (uid 65534) tries to hold the lock";
    }
    // Another user who may reach the store cannot open what would let it hold
    // the store's lock or read its registry.
    fs::permissions(m_dir.Path(), fs::perms::others_exec, fs::perm_options::add);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            ::_exit(100);
        }
        int opened = 0;
        for (const char* file : {"store.lock", "registry.db"}) {
            const int fd = ::open((m_store / file).c_str(), O_RDONLY);
            opened += fd >= 0 && ::flock(fd, LOCK_SH | LOCK_NB) == 0;
        }
        ::_exit(opened);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "files the other user could open and lock";
    EXPECT_EQ(Remove(m_store).exitStatus, 0);
}

TEST_F(StoreSafety, ASourceThatIsNotAFileIsRefusedAtOnce) {
    ASSERT_EQ(::mkfifo((m_source / "pipe.appinstaller").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((m_source / "pipe.appx").c_str(), 0600), 0);
    fs::create_directory(m_source / "folder.appinstaller");
    packaging::AppInstallerContent naming;
    naming.uri = FileUri(m_source / "names-pipe.appinstaller");
    naming.mainPackage = {m_identity, "pipe.appx"};
    packaging::WriteAppInstallerFile(m_source / "names-pipe.appinstaller", naming);
    const std::vector<std::pair<std::string, std::string>> sources{
        {"pipe.appinstaller", "a named pipe"}, {"folder.appinstaller", "a folder"}, {"names-pipe.appinstaller", "a named pipe"}};
    for (const auto& [file, kind] : sources) {
        SCOPED_TRACE(file);
        const auto start = std::chrono::steady_clock::now();
        ExpectRefused(Run({"-i", FileUri(m_source / file)}, m_store), "80070057", "it is " + kind + ", not a file");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_EQ(store_testing::PackageFolders(m_store), std::vector<std::string>{});
    }
}

// A small file system of its own, unmounted with the object.
class SmallFileSystem {
public:
    SmallFileSystem(const fs::path& where, int mebibytes) : m_where(where) {
        fs::create_directories(where);
        const std::string options = "size=" + std::to_string(mebibytes) + "m,mode=0755";
        m_mounted = ::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallFileSystem() {
        if (m_mounted) {
            ::umount2(m_where.c_str(), MNT_DETACH);
        }
    }
    bool Mounted() const { return m_mounted; }
    std::uint64_t Free() const {
        struct statvfs space {};
        ::statvfs(m_where.c_str(), &space);
        return static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
    }

private:
    fs::path m_where;
    bool m_mounted = false;
};

TEST_F(StoreSafety, AFullDiskIsRefusedBeforeItFills) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    }
    SmallFileSystem small(m_dir / "small", 96);
    if (!small.Mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    const fs::path store = store_testing::TrustingStore(m_dir / "small" / "store");
    Run({"-x", "-f", Family()}, store);  // makes the store
    const std::string before = store_testing::Snapshot(store);

    // A package whose files, as its block map declares them, do not fit beside
    // the 64 MiB the store keeps free.
    const auto big = SampleIdentity("1.0.0.0", "Oru.Sample.Big");
    const std::string bigUri = FileUri(store_testing::WriteSample(
        m_source, big, "big.appx", "big.appinstaller", {},
        {{"Data/big.bin", store_testing::Noise(40 * 1024 * 1024, 5), false}}));
    ExpectRefused(Run({"-i", bigUri}, store), "80073cf4", "MiB are kept free");
    EXPECT_EQ(store_testing::Snapshot(store), before);

    // A download that never ends.
    const fs::path endless = m_dir / "endless.appx";
    { std::ofstream(endless).flush(); }
    fs::resize_file(endless, std::uint64_t{1} << 30);  // sparse: costs no disk
    HttpServer server;
    auto response = HttpServer::Response::File(endless);
    response.noLength = true;
    server.Route("/p.appx", response);
    const std::string served = store_testing::ServeAppInstaller(server, m_identity);
    ExpectRefused(Run({"-i", served}, store), "80073cf4", "MiB are kept free");
    EXPECT_EQ(store_testing::Snapshot(store), before);
    EXPECT_GT(small.Free(), std::uint64_t{60} << 20) << "the reserve was kept";
}

TEST_F(StoreSafety, AnAddReachesTheDiskBeforeTheRegistryNamesIt) {
    if (::system("command -v strace >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is not installed (scripts/install-packages installs it)";
    }
    const fs::path trace = m_dir / "trace.txt";
    ProcessOptions options;
    options.env.emplace_back("APPDEPLOY_STORE", m_store.string());
    // LeakSanitizer cannot run under a tracer; the other sanitizers can.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    options.env.emplace_back("ASAN_OPTIONS", std::string(sanitizer != nullptr ? sanitizer : "") + ":detect_leaks=0");
    options.killAfter = std::chrono::seconds(60);
    const ProcessResult result = test_support::RunProcess(
        "/usr/bin/strace", {"-f", "-y", "-o", trace.string(), "-e", "trace=close,fsync,fdatasync,syncfs,rename,renameat,renameat2",
                            APPDEPLOY_EXE, "-i", m_uri}, options);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    std::vector<std::string> calls;
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) {
        calls.push_back(line);
    }
    // The first call of `call` on `what` from line `from` on.
    const auto first = [&](const std::string& call, const std::string& what, std::size_t from = 0) {
        for (std::size_t i = from; i < calls.size(); ++i) {
            if (calls[i].find(call + "(") != std::string::npos && calls[i].find(what) != std::string::npos) {
                return i;
            }
        }
        ADD_FAILURE() << "no " << call << " of " << what;
        return calls.size();
    };
    const std::string folder = platform::ToUtf8(FullNameOf(m_identity));
    const std::size_t placed = first("renameat2", (m_store / "packages" / folder).string());
    // One flush of the file system takes every file and folder written before it.
    const std::size_t flushed = first("syncfs", (m_store / "staging").string());
    EXPECT_LT(flushed, placed) << "the files are flushed before they are placed";
    for (const auto& file : store_testing::SamplePayload()) {
        EXPECT_LT(first("close", "/" + file.name + ">"), flushed) << file.name << " is written before the flush";
    }
    const std::size_t moved = first("fsync", (m_store / "packages").string() + ">", placed);
    EXPECT_LT(moved, calls.size()) << "the move is flushed";
    const std::size_t committed = first("fdatasync", (m_store / "registry.db-wal").string() + ">", placed);
    EXPECT_GT(committed, moved) << "the registry commits after the move is on disk";
    EXPECT_LT(committed, calls.size());
}

}  // namespace
