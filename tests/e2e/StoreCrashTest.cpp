// The built tool killed at random moments of a large add, and two copies of it
// adding into one store at once: the store must stay whole either way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "platform/Utf8.h"
#include "platform/deployment/local/store/LocalPackageManager.h"
#include "platform/deployment/local/store/Store.h"
#include "tests/support/RunProcess.h"
#include "tests/support/StoreTesting.h"

namespace {

using platform::deployment::local::Store;
using platform::ToUtf8;
using store_testing::FamilyNameOf;
using store_testing::FileUri;
using store_testing::FullNameOf;
using store_testing::Noise;
using store_testing::TempDir;
using test_support::ProcessOptions;
using test_support::ProcessResult;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

ProcessResult RunTool(const fs::path& store, const std::vector<std::string>& args,
                  std::optional<std::chrono::milliseconds> killAfter = std::nullopt) {
    ProcessOptions options;
    options.env.emplace_back("APPDEPLOY_STORE", store.string());
    options.killAfter = killAfter.value_or(std::chrono::seconds(120));
    return test_support::RunProcess(APPDEPLOY_EXE, args, options);
}

class StoreCrash : public testing::Test {
protected:
    // A package of `parts` files of 8 MiB that do not compress, and its AppInstaller file.
    void Prepare(int parts) {
        fs::create_directories(m_source);
        for (int i = 0; i < parts; ++i) {
            m_payload.push_back({"Data/part" + std::to_string(i) + ".bin",
                                 Noise(8 * 1024 * 1024, 17u + static_cast<std::uint32_t>(i)), false});
        }
        m_payload.push_back({"App.exe", std::string("the program"), true});
        m_uri = FileUri(store_testing::WriteSample(m_source, m_identity, "big.appx", "big.appinstaller", {}, m_payload));
    }

    // Opens the store as the next user of it would, and says whether it holds
    // the whole package (true) or no trace of it (false); anything in between fails.
    bool CheckWholeOrAbsent() {
        Store store(m_root);
        const std::string folder = ToUtf8(FullNameOf(m_identity));
        EXPECT_TRUE(fs::is_empty(m_root / "staging")) << "staging is swept when the store opens";
        Store::Lock lock(store);
        const bool registered = lock.GetRegistry().FindPackage(FullNameOf(m_identity)).has_value();
        if (!fs::exists(m_root / "packages" / folder)) {
            EXPECT_FALSE(registered) << "the registry names a package whose folder is missing";
            return false;
        }
        EXPECT_TRUE(registered) << "a package folder the registry does not know survived the sweep";
        EXPECT_TRUE(lock.GetRegistry().IsRegistered(std::to_wstring(::geteuid()), FullNameOf(m_identity)));
        for (const auto& file : m_payload) {
            EXPECT_TRUE(store_testing::ReadFile(m_root / "packages" / folder / file.name) ==
                        std::get<std::string>(file.content))
                << file.name << " is not complete";
        }
        return true;
    }

    TempDir m_dir;
    fs::path m_root = store_testing::TrustingStore(m_dir / "store");
    fs::path m_source = m_dir / "source";
    packaging::Identity m_identity = store_testing::SampleIdentity("1.0.0.0", "Oru.Sample.Large");
    std::vector<packaging::PayloadFile> m_payload;
    std::string m_uri;
};

TEST_F(StoreCrash, AKilledAddLeavesAllOrNothingAndARerunSucceeds) {
    Prepare(3);
    const std::vector<std::string> add{"-i", m_uri, "-f", ToUtf8(FamilyNameOf(m_identity))};
    const std::vector<std::string> remove{"-x", "-f", ToUtf8(FamilyNameOf(m_identity))};

    const auto start = Clock::now();
    ASSERT_EQ(RunTool(m_root, add).exitStatus, 0);
    const auto full = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    ASSERT_TRUE(CheckWholeOrAbsent());
    ASSERT_EQ(RunTool(m_root, remove).exitStatus, 0);

    // Half the kills anywhere in the run, half near its end, where the package
    // is put in place and committed.
    std::mt19937 random(20240611);
    std::uniform_int_distribution<long> anywhere(0, full.count() * 11 / 10);
    std::uniform_int_distribution<long> late(full.count() * 7 / 10, full.count() * 11 / 10);
    int complete = 0;
    int absent = 0;
    const auto budget = Clock::now() + std::chrono::seconds(15);
    for (int round = 0; round < 40 && (round < 6 || Clock::now() < budget); ++round) {
        const std::chrono::milliseconds killAfter(round % 2 == 0 ? anywhere(random) : late(random));
        RunTool(m_root, add, killAfter);
        if (CheckWholeOrAbsent()) {
            ++complete;
            ASSERT_EQ(RunTool(m_root, remove).exitStatus, 0);
        } else {
            ++absent;
        }
        if (HasFailure()) {
            ADD_FAILURE() << "after a kill at " << killAfter.count() << " ms of a " << full.count() << " ms add";
            break;
        }
    }
    RecordProperty("complete", complete);
    RecordProperty("absent", absent);

    const ProcessResult rerun = RunTool(m_root, add);
    EXPECT_EQ(rerun.exitStatus, 0) << rerun.err;
    EXPECT_TRUE(CheckWholeOrAbsent());
}

TEST_F(StoreCrash, TwoProcessesAddingAtOnceShareOneStore) {
    Prepare(1);
    const auto other = store_testing::SampleIdentity("1.0.0.0", "Oru.Sample.Other");
    const std::string otherUri =
        FileUri(store_testing::WriteSample(m_source, other, "other.appx", "other.appinstaller"));
    for (int round = 0; round < 2; ++round) {
        // The same package from both ends, and another one beside them.
        const std::vector<std::vector<std::string>> runs{{"-i", m_uri}, {"-i", m_uri}, {"-i", otherUri}};
        std::vector<ProcessResult> results(runs.size());
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            threads.emplace_back([&, i] { results[i] = RunTool(m_root, runs[i]); });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        for (const auto& result : results) {
            EXPECT_EQ(result.exitStatus, 0) << result.err;
            EXPECT_NE(result.err.find("\nAdd package completed\n"), std::string::npos) << result.err;
        }
        EXPECT_EQ(store_testing::PackageFolders(m_root),
                  (std::vector<std::string>{ToUtf8(FullNameOf(m_identity)), ToUtf8(FullNameOf(other))}));
        EXPECT_TRUE(CheckWholeOrAbsent());
        EXPECT_EQ(RunTool(m_root, {"-x", "-f", ToUtf8(FamilyNameOf(m_identity))}).exitStatus, 0);
        EXPECT_EQ(RunTool(m_root, {"-x", "-f", ToUtf8(FamilyNameOf(other))}).exitStatus, 0);
        EXPECT_EQ(store_testing::PackageFolders(m_root), std::vector<std::string>{});
    }
}

}  // namespace
