// Adding a newer version over HTTP reuses the installed version's blocks: the
// result is the package a full add installs, whatever the server or the
// installed files are like, and a failed update leaves the old version.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <ostream>

#include "platform/Error.h"
#include "platform/Uri.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/store/LocalPackageManager.h"
#include "tests/support/HttpServer.h"
#include "tests/support/StoreTesting.h"

namespace {

using platform::FromUtf8Lossy;
using platform::ToUtf8;
using platform::Uri;
using platform::deployment::AddPackageByAppInstallerOptions;
using platform::deployment::local::LocalPackageManager;
using platform::deployment::local::LocalStoreOptions;
using store_testing::Outcome;
using store_testing::TempDir;
using test_support::HttpServer;
namespace fs = std::filesystem;

constexpr std::size_t kBlock = 65536;

// Incompressible and compressible files, one stored, over many blocks.
std::vector<packaging::PayloadFile> Payload(const std::string& tag) {
    std::string text;
    for (int line = 0; text.size() < 600 * 1024; ++line) {
        text += "line " + std::to_string(line) + " of the manual\n";
    }
    return {{"App.exe", "binary " + tag, true},
            {"Data/noise.bin", store_testing::Noise(20 * kBlock + 100, 11), false},
            {"Data/stored.bin", store_testing::Noise(5 * kBlock, 12), false, true},
            {"Docs/manual.txt", text, false}};
}

// The next version: App.exe and three neighbouring blocks of noise.bin changed.
std::vector<packaging::PayloadFile> NextPayload() {
    auto payload = Payload("two");
    auto& noise = std::get<std::string>(payload[1].content);
    noise.replace(7 * kBlock, 3 * kBlock, store_testing::Noise(3 * kBlock, 13));
    return payload;
}

packaging::Identity Version(const std::string& version) {
    return store_testing::SampleIdentity(version, "Oru.Update.App");
}

// Every file of a folder with its bytes.
std::map<std::string, std::string> Tree(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), folder).string()] = store_testing::ReadFile(entry.path());
        }
    }
    return files;
}

struct UpdateCase {
    std::string name;
    bool ranges = true;
    packaging::HashMethod method = packaging::HashMethod::Sha256;
    // Done to the installed version before the update.
    std::function<void(const fs::path& installed)> alter;
    // The share of the package that the update downloads less of; none when it downloads all of it.
    std::optional<double> below;
    bool local = false;  // the new version is added from a file
};

void PrintTo(const UpdateCase& param, std::ostream* out) { *out << param.name; }

class DifferentialUpdateTest : public testing::TestWithParam<UpdateCase> {
protected:
    std::shared_ptr<LocalPackageManager> Manager(const fs::path& root) {
        store_testing::TrustingStore(root);
        LocalStoreOptions options;
        options.fetch.connectTimeout = std::chrono::milliseconds(2000);
        options.fetch.stallTimeout = std::chrono::milliseconds(1000);
        return std::make_shared<LocalPackageManager>(root, options);
    }

    static Outcome Add(LocalPackageManager& manager, const std::string& uri) {
        return store_testing::Await(manager.AddPackageByAppInstallerFileAsync(
            Uri(FromUtf8Lossy(uri)), AddPackageByAppInstallerOptions::None, manager.GetDefaultPackageVolume()));
    }

    static fs::path PackageDir(const fs::path& root, const packaging::Identity& identity) {
        return root / "packages" / ToUtf8(store_testing::FullNameOf(identity));
    }

    // Serves version 1.0.0.0 and `next` (1.0.0.1) of the package; returns their AppInstaller URIs.
    std::pair<std::string, std::string> Serve(HttpServer::Response next,
                                              packaging::HashMethod method = packaging::HashMethod::Sha256) {
        fs::create_directories(m_source);
        store_testing::WriteSignedPackage(m_source / "v1.appx", Version("1.0.0.0"), Payload("one"));
        store_testing::WriteSignedPackage(m_source / "v2.appx", Version("1.0.0.1"), NextPayload(), method);
        next.file = m_source / "v2.appx";
        m_server.Route("/v1.appx", HttpServer::Response::File(m_source / "v1.appx"));
        m_server.Route("/v2.appx", next);
        return {store_testing::ServeAppInstaller(m_server, Version("1.0.0.0"), "v1.appx", "/v1.appinstaller"),
                store_testing::ServeAppInstaller(m_server, Version("1.0.0.1"), "v2.appx", "/v2.appinstaller")};
    }

    // An AppInstaller file that names the new version where it lies.
    std::string LocalAppInstaller() const {
        packaging::AppInstallerContent content;
        content.uri = store_testing::FileUri(m_source / "v2.appinstaller");
        content.mainPackage = {Version("1.0.0.1"), "v2.appx"};
        packaging::WriteAppInstallerFile(m_source / "v2.appinstaller", content);
        return content.uri;
    }

    TempDir m_dir;
    fs::path m_source = m_dir / "source";
    HttpServer m_server;
};

TEST_P(DifferentialUpdateTest, InstallsWhatAFullAddInstalls) {
    const UpdateCase& param = GetParam();
    HttpServer::Response next;
    next.ignoreRanges = !param.ranges;
    const auto [first, second] = Serve(next, param.method);
    const fs::path full = m_dir / "full";
    ASSERT_EQ(Add(*Manager(full), second).status, platform::AsyncStatus::Completed);
    const std::size_t fullBytes = m_server.BytesSent("/v2.appx");

    const fs::path root = m_dir / "store";
    auto manager = Manager(root);
    ASSERT_EQ(Add(*manager, first).status, platform::AsyncStatus::Completed);
    if (param.alter) {
        param.alter(PackageDir(root, Version("1.0.0.0")));
    }
    const Outcome outcome = Add(*manager, param.local ? LocalAppInstaller() : second);
    ASSERT_EQ(outcome.status, platform::AsyncStatus::Completed) << ToUtf8(outcome.result.ErrorText());

    EXPECT_EQ(Tree(PackageDir(root, Version("1.0.0.1"))), Tree(PackageDir(full, Version("1.0.0.1"))));
    EXPECT_FALSE(fs::exists(PackageDir(root, Version("1.0.0.0")))) << "the old version went";
    const std::size_t updateBytes = m_server.BytesSent("/v2.appx") - fullBytes;
    const auto size = fs::file_size(m_source / "v2.appx");
    if (param.below) {
        EXPECT_LT(static_cast<double>(updateBytes), static_cast<double>(size) * *param.below);
    } else {
        EXPECT_GE(updateBytes, size);
    }
    EXPECT_TRUE(fs::is_empty(root / "staging"));
}

// Flips one byte of an installed file in a block the update would reuse.
void CorruptInstalled(const fs::path& file, std::size_t at) {
    std::string bytes = store_testing::ReadFile(file);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DifferentialUpdateTest,
    testing::Values(
        UpdateCase{"Ranges", true, packaging::HashMethod::Sha256, nullptr, 0.3},
        UpdateCase{"ServerIgnoresRanges", false, packaging::HashMethod::Sha256, nullptr, std::nullopt},
        UpdateCase{"AnotherHashMethod", true, packaging::HashMethod::Sha512, nullptr, std::nullopt},
        // The file whose installed copy fails is downloaded again, and only that file.
        UpdateCase{"InstalledBlockCorrupted", true, packaging::HashMethod::Sha256,
                   [](const fs::path& installed) { CorruptInstalled(installed / "Data/noise.bin", 2 * kBlock + 5); },
                   0.9},
        UpdateCase{"InstalledStoredFileCut", true, packaging::HashMethod::Sha256,
                   [](const fs::path& installed) { fs::resize_file(installed / "Data/stored.bin", kBlock); }, 0.5},
        UpdateCase{"InstalledBlockMapMissing", true, packaging::HashMethod::Sha256,
                   [](const fs::path& installed) { fs::remove(installed / "AppxBlockMap.xml"); }, std::nullopt},
        UpdateCase{"LocalFileInstalledBlockCorrupted", true, packaging::HashMethod::Sha256,
                   [](const fs::path& installed) { CorruptInstalled(installed / "Data/noise.bin", 2 * kBlock + 5); },
                   0.01, true}),
    [](const testing::TestParamInfo<UpdateCase>& info) { return info.param.name; });

// The changed blocks' part is cut off: the update fails and the old version stays as it was.
TEST_F(DifferentialUpdateTest, AnInterruptedUpdateLeavesTheOldVersion) {
    HttpServer::Response next;
    next.dropAfter = 2 * kBlock;  // more than any footprint part, less than the changed blocks
    const auto [first, second] = Serve(next);
    const fs::path root = m_dir / "store";
    auto manager = Manager(root);
    ASSERT_EQ(Add(*manager, first).status, platform::AsyncStatus::Completed);
    const std::string before = store_testing::Snapshot(root);

    const Outcome outcome = Add(*manager, second);
    EXPECT_EQ(outcome.status, platform::AsyncStatus::Error);
    EXPECT_EQ(static_cast<std::uint32_t>(outcome.errorCode), 0x80072EFEu) << ToUtf8(outcome.result.ErrorText());
    EXPECT_EQ(store_testing::Snapshot(root), before);
    EXPECT_EQ(Tree(PackageDir(root, Version("1.0.0.0")))["Data/noise.bin"],
              std::get<std::string>(Payload("one")[1].content));
    EXPECT_GE(m_server.Requests("/v2.appx"), 3u) << "it was an update in parts";
}

}  // namespace
