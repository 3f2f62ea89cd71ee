// The store on disk: what opening a store sweeps away, staging areas, putting
// packages in place, and where a store lives.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/store/Registry.h"
#include "platform/deployment/local/store/Store.h"
#include "tests/support/Raised.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/StoreTesting.h"

namespace {

using platform::hresult;
using platform::deployment::local::FullName;
using platform::deployment::local::PackageIdentity;
using platform::deployment::local::Registry;
using platform::deployment::local::Store;
using store_testing::TempDir;
using store_testing::SampleStoreIdentity;
using test_support::CodeOf;
namespace fs = std::filesystem;


// Puts a package into a store as an add would (folder, then registry).
void Install(Store& store, const PackageIdentity& identity, const std::wstring& user) {
    fs::path staged = store.Root() / "staging" / "manual";
    fs::create_directories(staged);
    std::ofstream(staged / "file.txt") << "content";
    Store::Lock lock(store);
    Registry::Transaction transaction(lock.GetRegistry());
    lock.Install(staged, FullName(identity));
    lock.GetRegistry().AddPackage(identity);
    lock.GetRegistry().Register(user, FullName(identity));
    transaction.Commit();
}

TEST(StoreTest, OpeningSweepsWhatACrashLeftBehindAndNothingElse) {
    TempDir dir;
    const fs::path root = dir / "store";
    const PackageIdentity kept = SampleStoreIdentity("1.0.0.0");
    const PackageIdentity orphan = SampleStoreIdentity("2.0.0.0");
    const PackageIdentity vanished = SampleStoreIdentity("3.0.0.0");
    std::unique_ptr<Store::StagingArea> live;
    {
        Store store(root);
        Install(store, kept, L"1000");
        Install(store, vanished, L"1000");
        live = store.NewStagingArea();
        std::ofstream(live->Path() / "work") << "in progress";
    }
    // A crash between putting a marked folder in place and committing it, a
    // crash in the middle of staging, a half-deleted folder, and a folder
    // deleted by hand; beside them what the store did not make.
    const std::string dead = "01234567-89ab-cdef-0123-456789abcdef";
    fs::create_directories(root / "packages" / platform::ToUtf8(FullName(orphan)) / "sub");
    std::ofstream(root / "staging" / (platform::ToUtf8(FullName(orphan)) + ".pending")) << "";
    fs::create_directories(root / "packages" / "Foreign_1.0.0.0_x64__0000000000000");
    fs::create_directories(root / "staging" / dead / "1");
    std::ofstream(root / "staging" / dead / ".lock") << "";
    fs::create_directories(root / "staging" / (dead + ".trash") / "x");
    std::ofstream(root / "staging" / "stray-file") << "x";
    fs::remove_all(root / "packages" / platform::ToUtf8(FullName(vanished)));

    Store store(root);
    EXPECT_EQ(store_testing::PackageFolders(root),
              (std::vector<std::string>{"Foreign_1.0.0.0_x64__0000000000000", platform::ToUtf8(FullName(kept))}));
    std::vector<std::string> staging;
    for (const auto& entry : fs::directory_iterator(root / "staging")) {
        staging.push_back(entry.path().filename().string());
    }
    std::sort(staging.begin(), staging.end());
    EXPECT_EQ(staging, (std::vector<std::string>{live->Path().filename().string(), "stray-file"}))
        << "the live staging area and what the store did not make stay, its own leftovers go";
    EXPECT_TRUE(fs::exists(live->Path() / "work"));
    Store::Lock lock(store);
    EXPECT_TRUE(lock.GetRegistry().FindPackage(FullName(kept)).has_value());
    EXPECT_FALSE(lock.GetRegistry().FindPackage(FullName(vanished)).has_value())
        << "the registry never names a package whose folder is missing";
}

TEST(StoreTest, AStagingAreaGoesWithItsOwner) {
    TempDir dir;
    Store store(dir / "store");
    fs::path path;
    {
        auto first = store.NewStagingArea();
        auto second = store.NewStagingArea();
        EXPECT_NE(first->Path(), second->Path());
        path = first->Path();
        std::ofstream(path / "data") << "x";
    }
    EXPECT_FALSE(fs::exists(path));
}

TEST(StoreTest, InstallLeavesAnUnknownFolderAloneAndWithdrawTakesItAway) {
    TempDir dir;
    Store store(dir / "store");
    const PackageIdentity identity = SampleStoreIdentity("1.0.0.0");
    const fs::path target = store.PackageDir(FullName(identity));
    fs::create_directories(target);
    std::ofstream(target / "stale") << "stale";
    const fs::path staged = dir / "store" / "staging" / "s";
    fs::create_directories(staged);
    std::ofstream(staged / "fresh") << "fresh";
    Store::Lock lock(store);
    EXPECT_EQ(CodeOf([&] { lock.Install(staged, FullName(identity)); }), platform::ToHresult(0x800700B7));
    EXPECT_TRUE(fs::exists(target / "stale"));
    fs::remove_all(target);
    lock.Install(staged, FullName(identity));
    EXPECT_TRUE(fs::exists(target / "fresh"));
    const fs::path withdrawn = lock.Withdraw(FullName(identity));
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(fs::exists(withdrawn / "fresh"));
    Store::Discard({withdrawn});
    EXPECT_FALSE(fs::exists(withdrawn));
    EXPECT_TRUE(lock.Withdraw(FullName(identity)).empty());
    EXPECT_EQ(CodeOf([&] { store.PackageDir(L"../escape"); }), platform::kInvalidArgument);
}

struct PlaceCase {
    std::string name;
    std::optional<std::string> store;
    std::optional<std::string> dataHome;
    std::optional<std::string> home;
    std::string expectedForUser;  // for a user that is not root
};

void PrintTo(const PlaceCase& value, std::ostream* out) { *out << value.name; }

class StorePlaceTest : public testing::TestWithParam<PlaceCase> {};

TEST_P(StorePlaceTest, FollowsTheEnvironment) {
    test_support::ScopedEnvironment environment;
    environment.Set("APPDEPLOY_STORE", GetParam().store);
    environment.Set("XDG_DATA_HOME", GetParam().dataHome);
    environment.Set("HOME", GetParam().home);
    const std::string expected =
        ::geteuid() == 0 && GetParam().store.value_or("").empty() ? "/var/lib/appdeploy" : GetParam().expectedForUser;
    EXPECT_EQ(Store::DefaultRoot(), fs::path(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Places, StorePlaceTest,
    testing::Values(PlaceCase{"StoreVariable", "/srv/store", "/data", "/home/u", "/srv/store"},
                    PlaceCase{"DataHome", std::nullopt, "/data", "/home/u", "/data/appdeploy"},
                    PlaceCase{"EmptyStoreVariable", "", "/data", "/home/u", "/data/appdeploy"},
                    PlaceCase{"RelativeDataHomeIgnored", std::nullopt, "data", "/home/u",
                              "/home/u/.local/share/appdeploy"},
                    PlaceCase{"Home", std::nullopt, std::nullopt, "/home/u", "/home/u/.local/share/appdeploy"}),
    [](const testing::TestParamInfo<PlaceCase>& info) { return info.param.name; });

TEST(StoreTest, AStoreThatCannotBeCreatedFailsWithItsCode) {
    TempDir dir;
    std::ofstream(dir / "file") << "not a folder";
    EXPECT_EQ(CodeOf([&] { Store store(dir / "file" / "store"); }), platform::kPathNotFound);
    fs::create_directory(dir / "locked");
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    if (::geteuid() != 0) {
        EXPECT_EQ(CodeOf([&] { Store store(dir / "locked" / "store"); }), platform::kAccessDenied);
        return;
    }
    // Root may write anywhere: try it as an unprivileged user in a child.
    fs::permissions(dir.Path(), fs::perms::others_exec, fs::perm_options::add);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(2);
        }
        ::_exit(CodeOf([&] { Store store(dir / "locked" / "store"); }) == platform::kAccessDenied ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the store in a folder the user may not write gave another code";
}

}  // namespace
