// The registry: transactions, listings, and a registry that cannot be trusted.
#include <gtest/gtest.h>

#include <cwctype>
#include <fstream>
#include <string>

#include "platform/Error.h"
#include "platform/deployment/local/store/Registry.h"
#include "tests/support/Raised.h"
#include "tests/support/StoreTesting.h"

namespace {

using platform::hresult;
using platform::deployment::local::FullName;
using platform::deployment::local::PackageIdentity;
using platform::deployment::local::Registry;
using store_testing::TempDir;
using store_testing::SampleStoreIdentity;
using test_support::CodeOf;
namespace fs = std::filesystem;


TEST(RegistryTest, CommittedChangesLastAndRolledBackOnesLeaveNoTrace) {
    TempDir dir;
    const PackageIdentity first = SampleStoreIdentity("1.0.0.0");
    const PackageIdentity second = SampleStoreIdentity("2.0.0.0");
    {
        Registry registry(dir / "registry.db");
        Registry::Transaction transaction(registry);
        registry.AddPackage(first);
        registry.Register(L"1000", FullName(first));
        registry.Provision(L"family");
        transaction.Commit();
    }
    {
        Registry registry(dir / "registry.db");
        try {
            Registry::Transaction transaction(registry);
            registry.AddPackage(second);
            registry.Register(L"1000", FullName(second));
            registry.Unregister(L"1000", FullName(first));
            registry.Deprovision(L"family");
            throw std::runtime_error("a failure before the commit");
        } catch (const std::runtime_error&) {
        }
    }
    Registry registry(dir / "registry.db");
    EXPECT_TRUE(registry.FindPackage(FullName(first)).has_value());
    EXPECT_FALSE(registry.FindPackage(FullName(second)).has_value());
    EXPECT_TRUE(registry.IsRegistered(L"1000", FullName(first)));
    EXPECT_TRUE(registry.IsProvisioned(L"family"));
    const auto found = registry.FindPackage(FullName(first));
    EXPECT_EQ(found->identity, first);
    EXPECT_EQ(found->familyName, platform::deployment::local::FamilyName(first));
}

TEST(RegistryTest, ListsAFamilyOldestFirstAndPerUser) {
    TempDir dir;
    Registry registry(dir / "registry.db");
    Registry::Transaction transaction(registry);
    for (const char* version : {"1.10.0.0", "1.2.0.0", "1.9.0.0"}) {
        registry.AddPackage(SampleStoreIdentity(version));
    }
    registry.AddPackage(SampleStoreIdentity("1.0.0.0", "Oru.Other.App"));
    registry.Register(L"1000", FullName(SampleStoreIdentity("1.9.0.0")));
    registry.Register(L"1001", FullName(SampleStoreIdentity("1.2.0.0")));
    transaction.Commit();

    const std::wstring family = platform::deployment::local::FamilyName(SampleStoreIdentity("1.0.0.0"));
    std::vector<std::wstring> versions;
    for (const auto& record : registry.FamilyPackages(family)) {
        versions.push_back(record.identity.version.ToString());
    }
    EXPECT_EQ(versions, (std::vector<std::wstring>{L"1.2.0.0", L"1.9.0.0", L"1.10.0.0"}));
    const auto mine = registry.UserPackages(L"1000", family);
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_EQ(mine[0].fullName, FullName(SampleStoreIdentity("1.9.0.0")));
    EXPECT_TRUE(registry.UserPackages(L"1002", family).empty());
    EXPECT_TRUE(registry.FamilyPackages(L"").empty());
}

TEST(RegistryTest, RemovingAPackageRemovesItsRegistrations) {
    TempDir dir;
    Registry registry(dir / "registry.db");
    const std::wstring fullName = FullName(SampleStoreIdentity("1.0.0.0"));
    {
        Registry::Transaction transaction(registry);
        registry.AddPackage(SampleStoreIdentity("1.0.0.0"));
        registry.Register(L"1000", fullName);
        registry.Register(L"1001", fullName);
        transaction.Commit();
    }
    EXPECT_EQ(registry.RegistrationCount(fullName), 2);
    Registry::Transaction transaction(registry);
    registry.RemovePackage(fullName);
    transaction.Commit();
    EXPECT_EQ(registry.RegistrationCount(fullName), 0);
    EXPECT_FALSE(registry.IsRegistered(L"1000", fullName));
}

// The same package as written with its name's case changed.
std::wstring Recased(std::wstring name) {
    for (wchar_t& c : name) {
        c = std::iswupper(static_cast<wint_t>(c)) ? std::towlower(static_cast<wint_t>(c)) : std::towupper(static_cast<wint_t>(c));
    }
    return name;
}

TEST(RegistryTest, NamesAreUniqueWithoutRegardToCaseAndKeepTheirSpelling) {
    TempDir dir;
    Registry registry(dir / "registry.db");
    const PackageIdentity sample = SampleStoreIdentity("1.0.0.0");
    PackageIdentity twin = sample;
    twin.name = Recased(twin.name);
    Registry::Transaction transaction(registry);
    registry.AddPackage(sample);
    EXPECT_EQ(CodeOf([&] { registry.AddPackage(twin); }), platform::ToHresult(0x80073CFE));
    EXPECT_EQ(registry.FindPackage(FullName(twin)).value().fullName, FullName(sample));
}

// A registry as the version before case-insensitive names left it.
struct UpgradeCase {
    std::string name;
    bool caseTwins;
    hresult code;
};

class RegistryUpgradeTest : public testing::TestWithParam<UpgradeCase> {};

TEST_P(RegistryUpgradeTest, KeepsWorkingOrSaysWhyNot) {
    TempDir dir;
    const fs::path file = dir / "registry.db";
    const PackageIdentity sample = SampleStoreIdentity("1.0.0.0");
    {
        Registry registry(file);
        Registry::Transaction transaction(registry);
        registry.AddPackage(sample);
        registry.Register(L"1000", FullName(sample));
        transaction.Commit();
    }
    sqlite3* database = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &database), SQLITE_OK);
    std::string sql = "DROP INDEX package_full_name_nocase; DROP INDEX package_family_nocase; "
                      "DROP INDEX registration_nocase; DROP INDEX provisioned_nocase; PRAGMA user_version = 1;"
                      "INSERT INTO provisioned VALUES ('Oru.Sample.App_x'), ('oru.sample.app_X');";
    if (GetParam().caseTwins) {
        sql += "INSERT INTO package SELECT lower(full_name), lower(family_name), lower(name), publisher, major, minor, "
               "build, revision, architecture, resource_id FROM package;";
    }
    ASSERT_EQ(sqlite3_exec(database, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(database);

    const auto failure = test_support::FailureOf([&] {
        Registry registry(file);
        EXPECT_TRUE(registry.IsRegistered(L"1000", Recased(FullName(sample))));
        Registry::Transaction transaction(registry);
        registry.Deprovision(L"ORU.SAMPLE.APP_X");
        EXPECT_FALSE(registry.IsProvisioned(L"Oru.Sample.App_x"));
    });
    EXPECT_EQ(failure.code, GetParam().code);
    if (GetParam().caseTwins) {
        EXPECT_NE(failure.text.find(L"differ only in case"), std::wstring::npos) << platform::ToUtf8(failure.text);
    }
}

INSTANTIATE_TEST_SUITE_P(Registries, RegistryUpgradeTest,
                         testing::Values(UpgradeCase{"Plain", false, platform::kOk},
                                         UpgradeCase{"WithCaseTwins", true, platform::ToHresult(0x80073CFE)}),
                         [](const testing::TestParamInfo<UpgradeCase>& info) { return info.param.name; });

struct DamageCase {
    std::string name;
    std::string sql;    // run against a good registry; empty: overwrite the file with garbage
};

void PrintTo(const DamageCase& value, std::ostream* out) { *out << value.name; }

class RegistryDamageTest : public testing::TestWithParam<DamageCase> {};

TEST_P(RegistryDamageTest, ARegistryThatCannotBeReadIsReportedNotTrusted) {
    TempDir dir;
    const fs::path file = dir / "registry.db";
    {
        Registry registry(file);
        Registry::Transaction transaction(registry);
        registry.AddPackage(SampleStoreIdentity("1.0.0.0"));
        transaction.Commit();
    }
    if (GetParam().sql.empty()) {
        fs::remove(dir / "registry.db-wal");
        fs::remove(dir / "registry.db-shm");
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << std::string(8192, 'x');
    } else {
        sqlite3* database = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &database), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(database, GetParam().sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(database);
    }
    const hresult code = CodeOf([&] {
        Registry registry(file);
        registry.FamilyPackages(platform::deployment::local::FamilyName(SampleStoreIdentity("1.0.0.0")));
        registry.AllFullNames();
    });
    EXPECT_EQ(static_cast<std::uint32_t>(code), 0x80073CFEu);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, RegistryDamageTest,
    testing::Values(DamageCase{"NotADatabase", ""}, DamageCase{"NewerLayout", "PRAGMA user_version = 7"},
                    DamageCase{"MissingTable", "DROP TABLE package"},
                    DamageCase{"AnotherApplicationsDatabase", "PRAGMA application_id = 1"},
                    // A full name that would lead out of packages/ when used as a folder name.
                    DamageCase{"TamperedFullName", "UPDATE package SET full_name = '../../etc'"},
                    DamageCase{"VersionOutOfRange", "UPDATE package SET major = 70000"}),
    [](const testing::TestParamInfo<DamageCase>& info) { return info.param.name; });

}  // namespace
