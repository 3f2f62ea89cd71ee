// The local store as the deployment service: adds, version rules, users,
// provisioning, removal, lookups, and failures that leave the store unchanged.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <thread>

#include "platform/Error.h"
#include "platform/Uri.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/store/LocalPackageManager.h"
#include "tests/support/HttpServer.h"
#include "tests/support/Raised.h"
#include "tests/support/StoreTesting.h"

#if defined(__SANITIZE_THREAD__)
// libzip converts each entry's time with mktime, and glibc's tzset guards its
// time zone name with a lock of its own that ThreadSanitizer cannot see: two
// extractions at once look like a race inside glibc.
extern "C" const char* __tsan_default_suppressions() { return "race:tzset_internal\n"; }
#endif

namespace {

using platform::AsyncStatus;
using platform::hresult;
using platform::ToHresult;
using platform::Uri;
using platform::deployment::AddPackageByAppInstallerOptions;
using platform::deployment::PackageCollection;
using platform::deployment::PackageVolume;
using platform::deployment::RemovalOptions;
using platform::FromUtf8Lossy;
using platform::deployment::local::LocalPackageManager;
using platform::deployment::local::LocalStoreOptions;
using platform::ToUtf8;
using store_testing::Await;
using store_testing::FamilyNameOf;
using store_testing::FileUri;
using store_testing::FullNameOf;
using store_testing::Outcome;
using store_testing::SampleIdentity;
using store_testing::ServeAppInstaller;
using store_testing::Snapshot;
using store_testing::TempDir;
using store_testing::WriteSample;
using test_support::HttpServer;
namespace fs = std::filesystem;

std::vector<std::wstring> Names(const PackageCollection& packages) {
    std::vector<std::wstring> names;
    for (const auto& package : packages) {
        names.push_back(package.Id().FullName());
    }
    return names;
}

void ExpectSucceeded(const Outcome& outcome, bool registered) {
    EXPECT_EQ(outcome.status, AsyncStatus::Completed) << ToUtf8(outcome.result.ErrorText());
    ASSERT_TRUE(outcome.hasResult);
    EXPECT_EQ(outcome.result.ExtendedErrorCode(), 0);
    EXPECT_EQ(outcome.result.IsRegistered(), registered);
    // A short request may be over before the handler is attached; what was seen must still be in order.
    if (!outcome.progress.empty()) {
        EXPECT_EQ(outcome.progress.back(), 100u);
    }
    for (std::size_t i = 1; i < outcome.progress.size(); ++i) {
        EXPECT_LT(outcome.progress[i - 1], outcome.progress[i]) << "progress only goes up, one report per change";
    }
}

// `extended` is the code of the layer that failed, where it is not the request's own.
constexpr hresult kCannotOpen = ToHresult(0x80073CF0);

void ExpectFailed(const Outcome& outcome, hresult code, hresult extended = platform::kOk) {
    EXPECT_EQ(outcome.status, AsyncStatus::Error);
    EXPECT_EQ(static_cast<std::uint32_t>(outcome.errorCode), static_cast<std::uint32_t>(code))
        << ToUtf8(outcome.result.ErrorText());
    ASSERT_TRUE(outcome.hasResult) << "a failed request still delivers its result";
    EXPECT_EQ(static_cast<std::uint32_t>(outcome.result.ExtendedErrorCode()),
              static_cast<std::uint32_t>(extended == platform::kOk ? code : extended));
    EXPECT_FALSE(outcome.result.IsRegistered());
    EXPECT_FALSE(outcome.result.ErrorText().empty());
    for (auto p : outcome.progress) {
        EXPECT_LT(p, 100u);
    }
}

class LocalPackageManagerTest : public testing::Test {
protected:
    void SetUp() override { fs::create_directories(m_source); }

    std::shared_ptr<LocalPackageManager> Manager(const std::wstring& user = L"") {
        LocalStoreOptions options;
        options.userId = user;
        options.fetch.connectTimeout = std::chrono::milliseconds(2000);
        options.fetch.stallTimeout = std::chrono::milliseconds(1000);
        return std::make_shared<LocalPackageManager>(m_root, options);
    }

    static Outcome Add(LocalPackageManager& manager, const std::string& uri) {
        return Await(manager.AddPackageByAppInstallerFileAsync(Uri(FromUtf8Lossy(uri)),
                                                               AddPackageByAppInstallerOptions::None,
                                                               manager.GetDefaultPackageVolume()));
    }

    // Writes a sample package of this version and an AppInstaller file for it; returns the file's URI.
    std::string Sample(const std::string& version, const std::string& tag = "one", const std::string& name = "Oru.Sample.App") {
        const std::string base = name + "_" + version;
        return FileUri(WriteSample(m_source, SampleIdentity(version, name), base + ".appx", base + ".appinstaller", {},
                                   store_testing::SamplePayload(tag)));
    }

    fs::path PackageDir(const packaging::Identity& identity) const {
        return m_root / "packages" / ToUtf8(FullNameOf(identity));
    }

    TempDir m_dir;
    fs::path m_root = store_testing::TrustingStore(m_dir / "store");
    fs::path m_source = m_dir / "source";
};

TEST_F(LocalPackageManagerTest, AddsFromAFileAndRegistersTheCurrentUser) {
    auto manager = Manager();
    const Outcome first = Add(*manager, Sample("1.0.0.0"));
    ExpectSucceeded(first, true);
    const auto identity = SampleIdentity("1.0.0.0");
    EXPECT_EQ(store_testing::ReadFile(PackageDir(identity) / "App.exe"), "binary of one");
    EXPECT_EQ(store_testing::ReadFile(PackageDir(identity) / "Assets" / "Logo.png"), std::string(70000, 'L') + "one");
    EXPECT_EQ(Names(manager->FindPackagesByUserSecurityIdPackageFamilyName(L"", FamilyNameOf(identity))),
              std::vector<std::wstring>{FullNameOf(identity)});
    EXPECT_EQ(Names(manager->FindPackagesByPackageFamilyName(FamilyNameOf(identity))),
              std::vector<std::wstring>{FullNameOf(identity)});
    const auto found = manager->FindPackagesByPackageFamilyName(FamilyNameOf(identity));
    EXPECT_EQ(found[0].Id().FamilyName(), FamilyNameOf(identity));

    const Outcome again = Add(*manager, Sample("1.0.0.0"));
    EXPECT_FALSE(again.result.ActivityId() == first.result.ActivityId()) << "each request has its own activity id";
}

// As the platform's packer writes them, and signers that keep its end record.
TEST_F(LocalPackageManagerTest, AddsASignedPackageWhoseDiskNumbersDeferToTheZip64EndRecord) {
    auto manager = Manager();
    test_support::PackageFaults faults;
    faults.diskNumbersEscaped = true;
    const auto uri =
        FileUri(store_testing::WriteSample(m_source, SampleIdentity("1.0.0.0"), "p.appx", "p.appinstaller", faults));
    ExpectSucceeded(Add(*manager, uri), true);
}

TEST_F(LocalPackageManagerTest, AddingTheSameVersionAgainExtractsNothing) {
    auto manager = Manager();
    const std::string uri = Sample("1.0.0.0");
    ExpectSucceeded(Add(*manager, uri), true);
    const fs::path marker = PackageDir(SampleIdentity("1.0.0.0")) / "marker";
    std::ofstream(marker) << "still the first extraction";
    // Even a package file that went bad since is not read again.
    fs::resize_file(m_source / "Oru.Sample.App_1.0.0.0.appx", 10);
    ExpectSucceeded(Add(*manager, uri), true);
    EXPECT_TRUE(fs::exists(marker));
}

// A layout that real packages have: how to write it, and the footprint files
// that the installed folder keeps beside the payload.
struct LayoutCase {
    std::string name;
    std::function<void(const fs::path& package)> write;
    std::vector<std::string> footprint;
};

void PrintTo(const LayoutCase& value, std::ostream* out) { *out << value.name; }

class RealLayoutTest : public LocalPackageManagerTest, public testing::WithParamInterface<LayoutCase> {};

TEST_P(RealLayoutTest, Installs) {
    const auto identity = SampleIdentity("1.0.0.0");
    GetParam().write(m_source / "p.appx");
    packaging::AppInstallerContent installerFile;
    installerFile.uri = FileUri(m_source / "p.appinstaller");
    installerFile.mainPackage = {identity, "p.appx"};
    packaging::WriteAppInstallerFile(m_source / "p.appinstaller", installerFile);
    auto manager = Manager();
    ExpectSucceeded(Add(*manager, installerFile.uri), true);
    for (const auto& file : store_testing::SamplePayload()) {
        EXPECT_EQ(store_testing::ReadFile(PackageDir(identity) / file.name), std::get<std::string>(file.content));
    }
    for (const std::string& name : GetParam().footprint) {
        EXPECT_TRUE(fs::is_regular_file(PackageDir(identity) / name)) << name;
    }
    EXPECT_FALSE(fs::exists(PackageDir(identity) / "[Content_Types].xml"));
}

std::vector<packaging::PayloadFile> PayloadWith(packaging::PayloadFile extra) {
    auto payload = store_testing::SamplePayload();
    payload.push_back(std::move(extra));
    return payload;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RealLayoutTest,
    testing::Values(
        LayoutCase{"PackerOutput",
                   [](const fs::path& package) {
                       store_testing::WriteSignedPackage(package, SampleIdentity("1.0.0.0"),
                                               PayloadWith({"data/many.bin", store_testing::Noise(300000, 5)}));
                   },
                   {"AppxBlockMap.xml"}},
        LayoutCase{"SignedWithCodeIntegrityCatalog",
                   [](const fs::path& package) {
                       test_support::PackageFaults layout;
                       layout.typedEntries = {{"AppxMetadata/CodeIntegrity.cat", "catalog"}};
                       test_support::WriteBrokenPackage(package, SampleIdentity("1.0.0.0"),
                                                        store_testing::SamplePayload(),
                                                        store_testing::SignedUnlessSaid(layout, SampleIdentity("1.0.0.0")));
                   },
                   {"AppxBlockMap.xml", "AppxSignature.p7x", "AppxMetadata/CodeIntegrity.cat"}}),
    [](const testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

struct VersionCase {
    std::string name;
    std::string installed;
    std::string added;
    hresult code;
    std::string registeredAfter;
};

void PrintTo(const VersionCase& value, std::ostream* out) { *out << value.name; }

class StoreVersionTest : public LocalPackageManagerTest, public testing::WithParamInterface<VersionCase> {};

TEST_P(StoreVersionTest, FollowsTheVersionRules) {
    auto manager = Manager();
    ExpectSucceeded(Add(*manager, Sample(GetParam().installed, "old")), true);
    const std::string before = Snapshot(m_root);
    const Outcome outcome = Add(*manager, Sample(GetParam().added, "new"));
    if (GetParam().code == 0) {
        ExpectSucceeded(outcome, true);
    } else {
        ExpectFailed(outcome, GetParam().code);
        EXPECT_NE(outcome.result.ErrorText().find(FullNameOf(SampleIdentity(GetParam().installed))), std::wstring::npos);
        EXPECT_EQ(Snapshot(m_root), before);
    }
    const auto expected = SampleIdentity(GetParam().registeredAfter);
    EXPECT_EQ(Names(manager->FindPackagesByUserSecurityIdPackageFamilyName(L"", FamilyNameOf(expected))),
              std::vector<std::wstring>{FullNameOf(expected)});
    EXPECT_EQ(store_testing::PackageFolders(m_root), std::vector<std::string>{ToUtf8(FullNameOf(expected))})
        << "an old version no one uses any more is deleted";
}

INSTANTIATE_TEST_SUITE_P(Versions, StoreVersionTest,
                         testing::Values(VersionCase{"Same", "1.0.0.0", "1.0.0.0", 0, "1.0.0.0"},
                                         VersionCase{"Update", "1.0.0.0", "1.2.0.0", 0, "1.2.0.0"},
                                         VersionCase{"UpdateByRevision", "1.2.3.4", "1.2.3.5", 0, "1.2.3.5"},
                                         VersionCase{"Downgrade", "2.0.0.0", "1.9.9.9", ToHresult(0x80073D06),
                                                     "2.0.0.0"}),
                         [](const testing::TestParamInfo<VersionCase>& info) { return info.param.name; });

TEST_F(LocalPackageManagerTest, RegistrationsBelongToEachUser) {
    auto alice = Manager(L"1001");
    auto bob = Manager(L"1002");
    const auto identity = SampleIdentity("1.0.0.0");
    const std::wstring family = FamilyNameOf(identity);
    ExpectSucceeded(Add(*alice, Sample("1.0.0.0")), true);
    EXPECT_TRUE(bob->FindPackagesByUserSecurityIdPackageFamilyName(L"", family).empty());
    EXPECT_EQ(bob->FindPackagesByPackageFamilyName(family).size(), 1u);
    EXPECT_EQ(bob->FindPackagesByUserSecurityIdPackageFamilyName(L"1001", family).size(), 1u);

    // Bob's add registers the installed package: no second copy.
    ExpectSucceeded(Add(*bob, Sample("1.0.0.0")), true);
    EXPECT_EQ(store_testing::PackageFolders(m_root).size(), 1u);

    ExpectSucceeded(Await(alice->RemovePackageWithOptionsAsync(FullNameOf(identity), RemovalOptions::None)), false);
    EXPECT_TRUE(alice->FindPackagesByUserSecurityIdPackageFamilyName(L"", family).empty());
    EXPECT_TRUE(fs::exists(PackageDir(identity))) << "Bob still uses it";
    ExpectFailed(Await(alice->RemovePackageWithOptionsAsync(FullNameOf(identity), RemovalOptions::None)),
                 ToHresult(0x80073CF1));

    ExpectSucceeded(Await(bob->RemovePackageWithOptionsAsync(FullNameOf(identity), RemovalOptions::None)), false);
    EXPECT_FALSE(fs::exists(PackageDir(identity)));
    EXPECT_TRUE(bob->FindPackagesByPackageFamilyName(family).empty());
}

TEST_F(LocalPackageManagerTest, AHigherVersionOfAnotherUserDoesNotBlockALowerOne) {
    auto alice = Manager(L"1001");
    auto bob = Manager(L"1002");
    ExpectSucceeded(Add(*alice, Sample("2.0.0.0")), true);
    ExpectSucceeded(Add(*bob, Sample("1.0.0.0")), true);
    EXPECT_EQ(bob->FindPackagesByPackageFamilyName(FamilyNameOf(SampleIdentity("1.0.0.0"))).size(), 2u);
}

TEST_F(LocalPackageManagerTest, RemovalForAllUsersRemovesEveryRegistration) {
    auto alice = Manager(L"1001");
    auto bob = Manager(L"1002");
    const auto identity = SampleIdentity("1.0.0.0");
    ExpectSucceeded(Add(*alice, Sample("1.0.0.0")), true);
    ExpectSucceeded(Add(*bob, Sample("1.0.0.0")), true);
    ExpectSucceeded(Await(alice->RemovePackageWithOptionsAsync(FullNameOf(identity), RemovalOptions::RemoveForAllUsers)),
                    false);
    EXPECT_TRUE(bob->FindPackagesByUserSecurityIdPackageFamilyName(L"", FamilyNameOf(identity)).empty());
    EXPECT_EQ(store_testing::PackageFolders(m_root), std::vector<std::string>{});
    const Outcome again =
        Await(alice->RemovePackageWithOptionsAsync(FullNameOf(identity), RemovalOptions::RemoveForAllUsers));
    ExpectFailed(again, ToHresult(0x80073CF1));
    EXPECT_NE(again.result.ErrorText().find(FullNameOf(identity)), std::wstring::npos);
    ExpectFailed(Await(alice->RemovePackageWithOptionsAsync(L"", RemovalOptions::None)), ToHresult(0x80073CF1));
}

TEST_F(LocalPackageManagerTest, ProvisioningNeedsAnInstalledPackageAndKeepsTheNewestOne) {
    auto manager = Manager();
    const auto identity = SampleIdentity("1.0.0.0");
    const std::wstring family = FamilyNameOf(identity);
    ExpectFailed(Await(manager->ProvisionPackageForAllUsersAsync(family)), ToHresult(0x80073CF1));
    ExpectFailed(Await(manager->ProvisionPackageForAllUsersAsync(L"")), ToHresult(0x80073CF1));
    ExpectFailed(Await(manager->DeprovisionPackageForAllUsersAsync(family)), ToHresult(0x80073CF1));

    ExpectSucceeded(Add(*manager, Sample("1.0.0.0")), true);
    ExpectSucceeded(Await(manager->ProvisionPackageForAllUsersAsync(family)), false);
    ExpectSucceeded(Await(manager->ProvisionPackageForAllUsersAsync(family)), false);

    // The last user lets go, but the family is provisioned: its package stays staged.
    ExpectSucceeded(Await(manager->RemovePackageWithOptionsAsync(FullNameOf(identity), RemovalOptions::None)), false);
    EXPECT_TRUE(fs::exists(PackageDir(identity)));
    EXPECT_EQ(manager->FindPackagesByPackageFamilyName(family).size(), 1u);
    EXPECT_TRUE(manager->FindPackagesByUserSecurityIdPackageFamilyName(L"", family).empty());

    // Deprovisioning lets a package that no one uses go.
    ExpectSucceeded(Await(manager->DeprovisionPackageForAllUsersAsync(family)), false);
    EXPECT_FALSE(fs::exists(PackageDir(identity)));
    EXPECT_TRUE(manager->FindPackagesByPackageFamilyName(family).empty());
    ExpectFailed(Await(manager->DeprovisionPackageForAllUsersAsync(family)), ToHresult(0x80073CF1));
}

TEST_F(LocalPackageManagerTest, DeprovisioningKeepsPackagesThatUsersStillHave) {
    auto manager = Manager();
    const auto identity = SampleIdentity("1.0.0.0");
    ExpectSucceeded(Add(*manager, Sample("1.0.0.0")), true);
    ExpectSucceeded(Await(manager->ProvisionPackageForAllUsersAsync(FamilyNameOf(identity))), false);
    ExpectSucceeded(Await(manager->DeprovisionPackageForAllUsersAsync(FamilyNameOf(identity))), false);
    EXPECT_TRUE(fs::exists(PackageDir(identity)));
    EXPECT_EQ(manager->FindPackagesByUserSecurityIdPackageFamilyName(L"", FamilyNameOf(identity)).size(), 1u);
}

TEST_F(LocalPackageManagerTest, FindsNothingForAnEmptyOrUnknownFamily) {
    auto manager = Manager();
    ExpectSucceeded(Add(*manager, Sample("1.0.0.0")), true);
    EXPECT_TRUE(manager->FindPackagesByPackageFamilyName(L"").empty());
    EXPECT_TRUE(manager->FindPackagesByUserSecurityIdPackageFamilyName(L"", L"").empty());
    EXPECT_TRUE(manager->FindPackagesByPackageFamilyName(L"Oru.Unknown_0000000000000").empty());
}

TEST_F(LocalPackageManagerTest, OnlyTheStoreItselfIsAVolume) {
    auto manager = Manager();
    EXPECT_EQ(manager->GetDefaultPackageVolume().Name(), FromUtf8Lossy(m_root.string()));
    const Uri uri(FromUtf8Lossy(Sample("1.0.0.0")));
    const hresult otherVolume = test_support::CodeOf([&] {
        manager->AddPackageByAppInstallerFileAsync(uri, AddPackageByAppInstallerOptions::None, PackageVolume(L"D:\\"));
    });
    EXPECT_EQ(otherVolume, platform::kInvalidArgument) << "another volume is refused";
    ExpectSucceeded(Await(manager->AddPackageByAppInstallerFileAsync(uri, AddPackageByAppInstallerOptions::None,
                                                                     PackageVolume())),
                    true);
}

TEST_F(LocalPackageManagerTest, DeploysDependenciesFirstAndAllOrNothing) {
    auto manager = Manager();
    const auto framework = SampleIdentity("1.0.0.0", "Oru.Sample.Framework");
    const auto app = SampleIdentity("1.0.0.0");
    store_testing::WriteSignedPackage(m_source / "framework.appx", framework, store_testing::SamplePayload("framework"));
    store_testing::WriteSignedPackage(m_source / "good.appx", app, store_testing::SamplePayload("app"));
    test_support::PackageFaults corrupt;
    corrupt.corruptBlockOf = "Assets/Logo.png";
    test_support::WriteBrokenPackage(m_source / "bad.appx", app, store_testing::SamplePayload("app"),
                                     store_testing::SignedUnlessSaid(corrupt, app));
    const auto write = [&](const std::string& file, const std::string& package) {
        packaging::AppInstallerContent installerFile;
        installerFile.uri = FileUri(m_source / file);
        installerFile.mainPackage = {app, package};
        installerFile.dependencies = {{framework, "framework.appx"}};
        packaging::WriteAppInstallerFile(m_source / file, installerFile);
        return FileUri(m_source / file);
    };

    const std::string before = Snapshot(m_root);
    ExpectFailed(Add(*manager, write("bad.appinstaller", "bad.appx")), ToHresult(0x80080207));
    EXPECT_EQ(Snapshot(m_root), before) << "the dependency goes too when the main package fails";

    ExpectSucceeded(Add(*manager, write("good.appinstaller", "good.appx")), true);
    EXPECT_EQ(manager->FindPackagesByUserSecurityIdPackageFamilyName(L"", FamilyNameOf(framework)).size(), 1u);
    EXPECT_EQ(store_testing::PackageFolders(m_root).size(), 2u);

    // A newer framework already there meets the dependency.
    auto other = Manager(L"1005");
    packaging::Identity newer = framework;
    newer.version = "2.0.0.0";
    ExpectSucceeded(Add(*other, FileUri(WriteSample(m_source, newer, "f2.appx", "f2.appinstaller"))), true);
    ExpectSucceeded(Add(*other, FileUri(m_source / "good.appinstaller")), true);
    EXPECT_EQ(Names(other->FindPackagesByUserSecurityIdPackageFamilyName(L"", FamilyNameOf(framework))),
              std::vector<std::wstring>{FullNameOf(newer)});
}

TEST_F(LocalPackageManagerTest, AddsOverLoopbackHttpWithARelativePackageUri) {
    auto manager = Manager();
    const auto identity = SampleIdentity("1.0.0.0");
    store_testing::WriteSignedPackage(m_source / "app.appx", identity, store_testing::SamplePayload("http"));
    HttpServer server;
    const std::string uri = ServeAppInstaller(server, identity, "packages/app.appx", "/release/app.appinstaller");
    server.Route("/release/packages/app.appx", HttpServer::Response::File(m_source / "app.appx"));
    ExpectSucceeded(Add(*manager, uri), true);
    EXPECT_EQ(store_testing::ReadFile(PackageDir(identity) / "App.exe"), "binary of http");
    EXPECT_EQ(server.Requests("/release/packages/app.appx"), 1u);
}

TEST_F(LocalPackageManagerTest, ReportsProgressThroughDownloadAndExtraction) {
    auto manager = Manager();
    const auto identity = SampleIdentity("1.0.0.0");
    std::vector<packaging::PayloadFile> payload = store_testing::SamplePayload();
    payload.push_back({"Data/noise.bin", store_testing::Noise(6 * 1024 * 1024, 12345), false});
    store_testing::WriteSignedPackage(m_source / "app.appx", identity, payload);
    HttpServer server;
    // The answer waits, so the handler is surely attached before any report.
    const std::string uri =
        ServeAppInstaller(server, identity, "app.appx", "/app.appinstaller", std::chrono::milliseconds(300));
    server.Route("/app.appx", HttpServer::Response::File(m_source / "app.appx"));
    const Outcome outcome = Add(*manager, uri);
    ExpectSucceeded(outcome, true);
    ASSERT_GE(outcome.progress.size(), 4u);
    EXPECT_EQ(outcome.progress.back(), 100u);
    EXPECT_TRUE(std::any_of(outcome.progress.begin(), outcome.progress.end(), [](auto p) { return p > 5 && p < 50; }))
        << "the download reports its share";
    EXPECT_TRUE(std::any_of(outcome.progress.begin(), outcome.progress.end(), [](auto p) { return p > 50 && p < 100; }))
        << "the extraction reports its share";
}

test_support::PackageFaults Fault(void (*set)(test_support::PackageFaults&)) {
    test_support::PackageFaults faults;
    set(faults);
    return faults;
}

// Large enough that its directory and footprint files are a small part of it.
std::vector<packaging::PayloadFile> LargePayload(std::size_t noise) {
    std::vector<packaging::PayloadFile> payload = store_testing::SamplePayload("ranges");
    payload.push_back({"Data/noise.bin", store_testing::Noise(noise, 777), false});
    payload.push_back({"Data/stored.bin", store_testing::Noise(noise / 3, 778), false, true});
    return payload;
}

// Gives the entry's local header another modification time than the directory
// gives it: nothing in its data shows it.
void AlterLocalHeader(const fs::path& package, const std::string& name) {
    std::string bytes = store_testing::ReadFile(package);
    const auto at = bytes.find(name);
    ASSERT_NE(at, std::string::npos);
    ASSERT_GE(at, 30u);
    ASSERT_EQ(bytes.substr(at - 30, 4), std::string("PK\x03\x04"));
    bytes[at - 30 + 10] ^= 0x01;
    std::ofstream(package, std::ios::binary | std::ios::trunc) << bytes;
}

// With ranges the package comes in parts and is extracted as it arrives;
// without, it comes whole in answer to the first request.
class HttpRangeTest : public LocalPackageManagerTest, public testing::WithParamInterface<bool> {};

TEST_P(HttpRangeTest, InstallsEveryFileExactly) {
    const bool ranges = GetParam();
    auto manager = Manager();
    const auto identity = SampleIdentity("1.0.0.0");
    const auto payload = LargePayload(3 * 1024 * 1024);
    store_testing::WriteSignedPackage(m_source / "p.appx", identity, payload);
    const auto size = fs::file_size(m_source / "p.appx");
    HttpServer server;
    const std::string uri = ServeAppInstaller(server, identity);
    auto response = HttpServer::Response::File(m_source / "p.appx");
    response.ignoreRanges = !ranges;
    server.Route("/p.appx", response);

    ExpectSucceeded(Add(*manager, uri), true);
    for (const auto& file : payload) {
        EXPECT_EQ(store_testing::ReadFile(PackageDir(identity) / file.name), std::get<std::string>(file.content))
            << file.name;
    }
    if (ranges) {
        EXPECT_GE(server.Requests("/p.appx"), 2u);
        EXPECT_LT(server.BytesSent("/p.appx"), size + size / 100) << "nothing fetched twice but the odd footprint file";
    } else {
        EXPECT_EQ(server.Requests("/p.appx"), 1u);
    }
    EXPECT_TRUE(fs::is_empty(m_root / "staging"));
}

INSTANTIATE_TEST_SUITE_P(Servers, HttpRangeTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Ranges" : "NoRanges"; });

// A package that is not the one named, or whose manifest is malformed, is
// refused from its directory and footprint files.
struct EarlyRefusal {
    std::string name;
    hresult code;
    std::string version;  // of the package; the AppInstaller file names 1.0.0.0
    test_support::PackageFaults faults;
    // Small files besides, enough for a directory longer than the first request's answer.
    std::size_t smallFiles = 0;
    std::size_t noise = 12 << 20;
};

void PrintTo(const EarlyRefusal& value, std::ostream* out) { *out << value.name; }

class EarlyRefusalTest : public LocalPackageManagerTest, public testing::WithParamInterface<EarlyRefusal> {};

TEST_P(EarlyRefusalTest, ReadsLessThanOnePercentOfThePackage) {
    auto manager = Manager();
    ExpectSucceeded(Add(*manager, Sample("1.0.0.0", "one", "Oru.Sample.Other")), true);
    std::vector<packaging::PayloadFile> payload = LargePayload(GetParam().noise);
    for (std::size_t i = 0; i < GetParam().smallFiles; ++i) {
        payload.push_back({"Data/Small/file" + std::to_string(i) + ".txt", std::to_string(i), false});
    }
    test_support::WriteBrokenPackage(m_source / "p.appx", SampleIdentity(GetParam().version), payload,
                                     GetParam().faults);
    HttpServer server;
    const std::string uri = ServeAppInstaller(server, SampleIdentity("1.0.0.0"));
    server.Route("/p.appx", HttpServer::Response::File(m_source / "p.appx"));
    const std::string before = Snapshot(m_root);

    ExpectFailed(Add(*manager, uri), GetParam().code);
    EXPECT_LT(server.BytesSent("/p.appx"), fs::file_size(m_source / "p.appx") / 100);
    EXPECT_EQ(Snapshot(m_root), before);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, EarlyRefusalTest,
    testing::Values(EarlyRefusal{"IdentityMismatch", ToHresult(0x80073D36), "1.0.0.1", {}},
                    EarlyRefusal{"MalformedManifest", ToHresult(0x80080204), "1.0.0.0",
                                 Fault([](auto& f) { f.manifestOverride = "<Package"; })},
                    EarlyRefusal{"IdentityMismatchWithALongDirectory", ToHresult(0x80073D36), "1.0.0.1", {}, 2000,
                                 32 << 20}),
    [](const testing::TestParamInfo<EarlyRefusal>& info) { return info.param.name; });

// One way for an add to go wrong: what it serves or writes, and what must come out.
struct FailureCase {
    std::string name;
    hresult code;
    std::wstring textPart;  // "{uri}" stands for the AppInstaller file's URI, "{package}" for the package's
    // Prepares the sources; returns the AppInstaller file's URI and the package's location.
    std::function<std::pair<std::string, std::string>(const fs::path& source, HttpServer& server)> prepare;
    // The packaging library's code, for a package that could not be opened (0x80073CF0).
    hresult extended = platform::kOk;
};

void PrintTo(const FailureCase& value, std::ostream* out) { *out << value.name; }

// Serves the package at /p.appx and an AppInstaller file naming it; returns both URIs.
std::pair<std::string, std::string> ServePackage(HttpServer& server, HttpServer::Response package) {
    server.Route("/p.appx", std::move(package));
    return {ServeAppInstaller(server, SampleIdentity("1.0.0.0")), server.Url("/p.appx")};
}

std::pair<std::string, std::string> LocalSample(const fs::path& source, const test_support::PackageFaults& faults) {
    const auto file = WriteSample(source, SampleIdentity("1.0.0.0"), "p.appx", "p.appinstaller", faults);
    return {FileUri(file), (source / "p.appx").string()};
}

class StoreFailureTest : public LocalPackageManagerTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(StoreFailureTest, EndsWithTheCodeAndLeavesTheStoreAsItWas) {
    auto manager = Manager();
    ExpectSucceeded(Add(*manager, Sample("1.0.0.0", "one", "Oru.Sample.Other")), true);
    HttpServer server;
    const auto [uri, package] = GetParam().prepare(m_source, server);
    const std::string before = Snapshot(m_root);

    const Outcome outcome = Add(*manager, uri);
    ExpectFailed(outcome, GetParam().code, GetParam().extended);
    std::wstring expected = GetParam().textPart;
    for (const auto& [key, value] : {std::pair<std::wstring, std::string>{L"{uri}", uri}, {L"{package}", package}}) {
        if (auto at = expected.find(key); at != std::wstring::npos) {
            expected.replace(at, key.size(), FromUtf8Lossy(value));
        }
    }
    EXPECT_NE(outcome.result.ErrorText().find(expected), std::wstring::npos)
        << ToUtf8(outcome.result.ErrorText()) << "\nshould contain: " << ToUtf8(expected);
    EXPECT_EQ(Snapshot(m_root), before);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, StoreFailureTest,
    testing::Values(
        FailureCase{"MissingAppInstallerFile", platform::kFileNotFound, L"{uri}",
                    [](const fs::path& source, HttpServer&) {
                        return std::pair{FileUri(source / "none.appinstaller"), std::string()};
                    }},
        FailureCase{"MissingPackageFile", platform::kFileNotFound, L"{package}",
                    [](const fs::path& source, HttpServer&) {
                        auto result = LocalSample(source, {});
                        fs::remove(source / "p.appx");
                        return result;
                    }},
        FailureCase{"InvalidAppInstallerFile", ToHresult(0x8008020C), L"{uri}",
                    [](const fs::path& source, HttpServer&) {
                        std::ofstream(source / "bad.appinstaller") << "<AppInstaller";
                        return std::pair{FileUri(source / "bad.appinstaller"), std::string()};
                    }},
        FailureCase{"NotAZip", kCannotOpen, L"{package}",
                    [](const fs::path& source, HttpServer&) {
                        auto result = LocalSample(source, {});
                        std::ofstream(source / "p.appx", std::ios::trunc) << "not a zip at all";
                        return result;
                    },
                    ToHresult(0x8051100F)},
        FailureCase{"MissingManifest", kCannotOpen, L"{package}",
                    [](const fs::path& source, HttpServer&) {
                        return LocalSample(source, Fault([](auto& f) { f.omitManifest = true; }));
                    },
                    ToHresult(0x80080205)},
        FailureCase{"InvalidManifest", ToHresult(0x80080204), L"{package}",
                    [](const fs::path& source, HttpServer&) {
                        return LocalSample(source, Fault([](auto& f) { f.manifestOverride = "<Package"; }));
                    }},
        FailureCase{"SizeMismatch", kCannotOpen, L"{package}",
                    [](const fs::path& source, HttpServer&) {
                        return LocalSample(source, Fault([](auto& f) { f.wrongSizeOf = "readme.txt"; }));
                    },
                    ToHresult(0x80080205)},
        FailureCase{"CorruptBlock", ToHresult(0x80080207), L"{package}",
                    [](const fs::path& source, HttpServer&) {
                        return LocalSample(source, Fault([](auto& f) { f.corruptBlockOf = "Assets/Logo.png"; }));
                    }},
        FailureCase{"ZipSlip", kCannotOpen, L"{package}",
                    [](const fs::path& source, HttpServer&) {
                        return LocalSample(source, Fault([](auto& f) {
                                               f.extraEntries.push_back({"../../evil.txt", "escaped"});
                                           }));
                    },
                    ToHresult(0x80080206)},
        FailureCase{"NoContentTypes", kCannotOpen, L"has no [Content_Types].xml",
                    [](const fs::path& source, HttpServer&) {
                        return LocalSample(source, Fault([](auto& f) { f.omitContentTypes = true; }));
                    },
                    ToHresult(0x80510007)},
        FailureCase{"PartWithoutContentType", kCannotOpen, L"\"LICENSE\" that its [Content_Types].xml gives no",
                    [](const fs::path& source, HttpServer&) {
                        return LocalSample(source, Fault([](auto& f) { f.extraEntries.push_back({"LICENSE", "MIT"}); }));
                    },
                    ToHresult(0x80080205)},
        FailureCase{"RelationshipPart", kCannotOpen, L"relationship parts",
                    [](const fs::path& source, HttpServer&) {
                        return LocalSample(source, Fault([](auto& f) { f.typedEntries.push_back({"_rels/.rels", "<Relationships/>"}); }));
                    },
                    ToHresult(0x80080202)},
        FailureCase{"DeviceName", kCannotOpen, L"\"Assets/con.png\" whose path has a device name",
                    [](const fs::path& source, HttpServer&) {
                        return LocalSample(source, Fault([](auto& f) { f.typedEntries.push_back({"Assets/con.png", "x"}); }));
                    },
                    ToHresult(0x80080205)},
        FailureCase{"Bzip2", kCannotOpen, L"\"readme.txt\" compressed with an unsupported method",
                    [](const fs::path& source, HttpServer&) {
                        return LocalSample(source, Fault([](auto& f) { f.bzip2Of = "readme.txt"; }));
                    },
                    ToHresult(0x80511008)},
        FailureCase{"CatalogWithoutSignature", kCannotOpen, L"CodeIntegrity.cat but no AppxSignature.p7x",
                    [](const fs::path& source, HttpServer&) {
                        return LocalSample(source, Fault([](auto& f) {
                                               f.typedEntries.push_back({"AppxMetadata/CodeIntegrity.cat", "catalog"});
                                               f.leaveUnsigned = true;
                                           }));
                    },
                    ToHresult(0x80080203)},
        FailureCase{"Unsigned", ToHresult(0x800B0100), L"\"{package}\" is not signed",
                    [](const fs::path& source, HttpServer&) {
                        return LocalSample(source, Fault([](auto& f) { f.leaveUnsigned = true; }));
                    }},
        FailureCase{"SignedWithAnExpiredCertificate", ToHresult(0x800B0101), L"\"{package}\" is signed with a certificate outside",
                    [](const fs::path& source, HttpServer&) {
                        test_support::PackageFaults faults;
                        faults.signer = test_support::SigningAuthority::Shared().SignerFor(
                            SampleIdentity("1.0.0.0").publisher,
                            {.notBefore = -std::chrono::hours(48), .notAfter = -std::chrono::hours(1)});
                        return LocalSample(source, faults);
                    }},
        FailureCase{"WrongFileHash", ToHresult(0x80080207), L"\"Assets/Logo.png\" that does not match the FileHash",
                    [](const fs::path& source, HttpServer&) {
                        return LocalSample(source, Fault([](auto& f) { f.wrongFileHashOf = "Assets/Logo.png"; }));
                    }},
        FailureCase{"IdentityMismatch", ToHresult(0x80073D36), L"{uri} names",
                    [](const fs::path& source, HttpServer&) {
                        store_testing::WriteSignedPackage(source / "p.appx", SampleIdentity("1.0.0.1"), store_testing::SamplePayload());
                        packaging::AppInstallerContent installerFile;
                        installerFile.uri = FileUri(source / "p.appinstaller");
                        installerFile.mainPackage = {SampleIdentity("1.0.0.0"), "p.appx"};
                        packaging::WriteAppInstallerFile(source / "p.appinstaller", installerFile);
                        return std::pair{installerFile.uri, std::string()};
                    }},
        FailureCase{"HttpNotFound", ToHresult(0x80190194), L"{package}",
                    [](const fs::path&, HttpServer& server) {
                        return std::pair{ServeAppInstaller(server, SampleIdentity("1.0.0.0"), "missing.appx"),
                                         server.Url("/missing.appx")};
                    }},
        FailureCase{"HttpDroppedHalfWay", ToHresult(0x80072EFE), L"{package}",
                    [](const fs::path& source, HttpServer& server) {
                        store_testing::WriteSignedPackage(source / "p.appx", SampleIdentity("1.0.0.0"), store_testing::SamplePayload());
                        auto response = HttpServer::Response::File(source / "p.appx");
                        response.dropAfter = fs::file_size(source / "p.appx") / 2;
                        return ServePackage(server, response);
                    }},
        FailureCase{"HttpRangedRestDroppedHalfWay", ToHresult(0x80072EFE), L"{package}",
                    [](const fs::path& source, HttpServer& server) {
                        store_testing::WriteSignedPackage(source / "p.appx", SampleIdentity("1.0.0.0"), LargePayload(2 << 20));
                        auto response = HttpServer::Response::File(source / "p.appx");
                        response.dropAfter = fs::file_size(source / "p.appx") / 2;
                        return ServePackage(server, response);
                    }},
        FailureCase{"HttpRangedCorruptBlockWhileArriving", ToHresult(0x80080207), L"\"Data/noise.bin\" whose block 1",
                    [](const fs::path& source, HttpServer& server) {
                        test_support::PackageFaults faults;
                        faults.corruptBlockOf = "Data/noise.bin";
                        test_support::WriteBrokenPackage(source / "p.appx", SampleIdentity("1.0.0.0"),
                                                         LargePayload(4 << 20),
                                                         store_testing::SignedUnlessSaid(faults, SampleIdentity("1.0.0.0")));
                        return ServePackage(server, HttpServer::Response::File(source / "p.appx"));
                    }},
        FailureCase{"HttpRangedLocalHeaderDiffers", kCannotOpen, L"{package}",
                    [](const fs::path& source, HttpServer& server) {
                        store_testing::WriteSignedPackage(source / "p.appx", SampleIdentity("1.0.0.0"), LargePayload(1 << 20));
                        AlterLocalHeader(source / "p.appx", "Data/noise.bin");
                        return ServePackage(server, HttpServer::Response::File(source / "p.appx"));
                    },
                    ToHresult(0x80511005)},
        FailureCase{"HttpEmptyPackage", kCannotOpen, L"{package}",
                    [](const fs::path&, HttpServer& server) { return ServePackage(server, HttpServer::Response::Text("")); },
                    ToHresult(0x8051100F)},
        FailureCase{"HttpAnotherPartThanAskedFor", ToHresult(0x80073CF5), L"{package}",
                    [](const fs::path&, HttpServer& server) {
                        auto response = HttpServer::Response::Text("PK\x03\x04", 206);
                        response.headers.emplace_back("Content-Range", "bytes 0-3/1000000");
                        return ServePackage(server, response);
                    }},
        FailureCase{"HttpCorruptBlockNamesTheUri", ToHresult(0x80080207), L"{package}",
                    [](const fs::path& source, HttpServer& server) {
                        test_support::PackageFaults faults;
                        faults.corruptBlockOf = "Assets/Logo.png";
                        test_support::WriteBrokenPackage(source / "p.appx", SampleIdentity("1.0.0.0"),
                                                         store_testing::SamplePayload(),
                                                         store_testing::SignedUnlessSaid(faults, SampleIdentity("1.0.0.0")));
                        return ServePackage(server, HttpServer::Response::File(source / "p.appx"));
                    }},
        FailureCase{"PlainHttpToAnotherHost", platform::kInvalidArgument, L"{uri}",
                    [](const fs::path&, HttpServer&) {
                        return std::pair{std::string("http://192.0.2.1:9/a.appinstaller"), std::string()};
                    }},
        FailureCase{"RemoteFileNamingALocalPackage", platform::kInvalidArgument, L"{package}",
                    [](const fs::path& source, HttpServer& server) {
                        store_testing::WriteSignedPackage(source / "p.appx", SampleIdentity("1.0.0.0"), store_testing::SamplePayload());
                        const std::string package = FileUri(source / "p.appx");
                        return std::pair{ServeAppInstaller(server, SampleIdentity("1.0.0.0"), package), package};
                    }}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(LocalPackageManagerTest, ConcurrentAddsOfOnePackageInstallItOnce) {
    const std::string uri = Sample("1.0.0.0");
    for (int round = 0; round < 3; ++round) {
        auto first = Manager();
        auto second = Manager(L"1010");
        auto one = first->AddPackageByAppInstallerFileAsync(Uri(FromUtf8Lossy(uri)), AddPackageByAppInstallerOptions::None,
                                                           PackageVolume());
        auto two = second->AddPackageByAppInstallerFileAsync(Uri(FromUtf8Lossy(uri)),
                                                            AddPackageByAppInstallerOptions::None, PackageVolume());
        // And the same service object twice at once.
        auto three = first->AddPackageByAppInstallerFileAsync(Uri(FromUtf8Lossy(uri)),
                                                             AddPackageByAppInstallerOptions::None, PackageVolume());
        ExpectSucceeded(Await(one), true);
        ExpectSucceeded(Await(two), true);
        ExpectSucceeded(Await(three), true);
        EXPECT_EQ(store_testing::PackageFolders(m_root).size(), 1u);
        const auto family = FamilyNameOf(SampleIdentity("1.0.0.0"));
        EXPECT_EQ(first->FindPackagesByPackageFamilyName(family).size(), 1u);
        EXPECT_EQ(first->FindPackagesByUserSecurityIdPackageFamilyName(L"", family).size(), 1u);
        EXPECT_EQ(second->FindPackagesByUserSecurityIdPackageFamilyName(L"", family).size(), 1u);
        ExpectSucceeded(Await(first->RemovePackageWithOptionsAsync(FullNameOf(SampleIdentity("1.0.0.0")),
                                                                   RemovalOptions::RemoveForAllUsers)),
                        false);
        EXPECT_TRUE(fs::is_empty(m_root / "staging"));
    }
}

// Cancelled while the first request is answered (a small package comes whole),
// or while the rest of a larger one arrives beside the extraction.
struct CancelPoint {
    std::string name;
    std::size_t noise;
    std::size_t stallAfter;
    std::size_t requests;  // made before the cancel: the package's end (its footprint), then the rest
};

void PrintTo(const CancelPoint& value, std::ostream* out) { *out << value.name; }

class CancelTest : public LocalPackageManagerTest, public testing::WithParamInterface<CancelPoint> {};

TEST_P(CancelTest, ACancelledDownloadLeavesTheStoreAsItWas) {
    auto manager = Manager();
    const auto identity = SampleIdentity("1.0.0.0");
    store_testing::WriteSignedPackage(m_source / "p.appx", identity,
                            GetParam().noise == 0 ? store_testing::SamplePayload() : LargePayload(GetParam().noise));
    HttpServer server;
    const std::string uri = ServeAppInstaller(server, identity);
    auto stalled = HttpServer::Response::File(m_source / "p.appx");
    stalled.stallAfter = GetParam().stallAfter;
    server.Route("/p.appx", stalled);
    const std::string before = Snapshot(m_root);

    LocalStoreOptions options;
    options.fetch.stallTimeout = std::chrono::milliseconds(20000);
    LocalPackageManager patient(m_root, options);
    auto operation = patient.AddPackageByAppInstallerFileAsync(Uri(FromUtf8Lossy(uri)),
                                                               AddPackageByAppInstallerOptions::None, PackageVolume());
    const auto asked = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (server.Requests("/p.appx") < GetParam().requests && std::chrono::steady_clock::now() < asked) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(server.Requests("/p.appx"), GetParam().requests);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    operation.Cancel();
    EXPECT_EQ(operation.Status(), AsyncStatus::Canceled);
    // The work notices within a second and cleans up after itself.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fs::is_empty(m_root / "staging") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(Snapshot(m_root), before);
}

INSTANTIATE_TEST_SUITE_P(Points, CancelTest,
                         testing::Values(CancelPoint{"FirstRequest", 0, 1000, 1},
                                         CancelPoint{"WhileTheRestArrives", 2 << 20, 1 << 20, 2}),
                         [](const testing::TestParamInfo<CancelPoint>& info) { return info.param.name; });

}  // namespace
