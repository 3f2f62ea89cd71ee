// The package writer makes the tests' inputs, so its own faults matter; and
// appxpack packs a folder as the platform's packer does.
#include <gtest/gtest.h>
#include <zip.h>

#include <stdexcept>

#include "tests/support/RunProcess.h"
#include "tests/support/StoreTesting.h"
#include "tools/packaging/AppInstallerWriter.h"
#include "tools/packaging/BundleWriter.h"

namespace {

// A file it could not write must not look written (the AppInstaller file is
// small enough to sit in a buffer until the file is closed).
TEST(PackageWriterTest, ReportsAFileItCouldNotWrite) {
    packaging::AppInstallerContent installerFile;
    installerFile.uri = "file:///dev/full";
    installerFile.mainPackage = {{"Oru.Quillmark.Vantor.App.Release", "CN=Oru Quillmark", "1.0.0.0", "neutral", ""}, "p.appx"};
    EXPECT_THROW(packaging::WriteAppInstallerFile("/dev/full", installerFile), std::runtime_error);
}

}  // namespace

namespace {

namespace fs = std::filesystem;

const char* const kOwnManifest =
    "<Package xmlns=\"http://schemas.microsoft.com/appx/manifest/foundation/windows10\"><Identity Name=\"Oru.Own\" "
    "Publisher=\"CN=Oru\" Version=\"2.0.0.0\" ProcessorArchitecture=\"x64\"/></Package>\n";

struct SourceCase {
    std::string name;
    bool ownManifest;
    std::vector<std::string> args;
    std::string error;  // after "appxpack: "; none when it packs
};

class AppxpackSourceTest : public testing::TestWithParam<SourceCase> {};

// A folder's own manifest is the package's, as the packer takes it; what the
// packer makes itself, and hidden files, are left out with a warning.
TEST_P(AppxpackSourceTest, PacksAFolderAsThePackerDoes) {
    const SourceCase& row = GetParam();
    const store_testing::TempDir dir;
    fs::create_directories(dir / "in" / ".git");
    packaging::WriteFile(dir / "in" / "readme.txt", "read me");
    packaging::WriteFile(dir / "in" / "AppxBlockMap.xml", "<old/>");
    packaging::WriteFile(dir / "in" / ".git" / "HEAD", "ref");
    if (row.ownManifest) {
        packaging::WriteFile(dir / "in" / "AppxManifest.xml", kOwnManifest);
    }
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"--out", (dir / "p.appx").string(), (dir / "in").string()});
    const test_support::ProcessResult result = test_support::RunProcess(APPXPACK_EXE, args);
    EXPECT_EQ(result.err,
              "appxpack: warning: leaving out the footprint file AppxBlockMap.xml\n"
              "appxpack: warning: leaving out the hidden folder .git\n" +
                  (row.error.empty() ? "" : "appxpack: " + row.error + "\n"));
    ASSERT_EQ(result.exitStatus, row.error.empty() ? 0 : 1);
    if (!row.error.empty()) {
        EXPECT_FALSE(fs::exists(dir / "p.appx"));
        return;
    }
    int error = 0;
    zip_t* archive = zip_open((dir / "p.appx").c_str(), ZIP_RDONLY, &error);
    ASSERT_NE(archive, nullptr);
    std::vector<std::string> names;
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
        names.emplace_back(zip_get_name(archive, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW));
    }
    zip_discard(archive);
    EXPECT_EQ(names,
              (std::vector<std::string>{"readme.txt", "AppxManifest.xml", "AppxBlockMap.xml", "[Content_Types].xml"}));
    const std::string manifest = packaging::ReadZipEntry(dir / "p.appx", "AppxManifest.xml");
    EXPECT_EQ(row.ownManifest ? manifest : packaging::IdentityOfManifest(manifest).name,
              row.ownManifest ? kOwnManifest : "Oru.Made");
}

INSTANTIATE_TEST_SUITE_P(
    Folders, AppxpackSourceTest,
    testing::Values(
        SourceCase{"OwnManifest", true, {}, ""},
        SourceCase{"OwnManifestAndAgreeingOptions", true, {"--name", "Oru.Own", "--arch", "x64"}, ""},
        SourceCase{"OwnManifestAndAnotherName",
                   true,
                   {"--name", "Oru.Other"},
                   "--name Oru.Other is not the manifest's Oru.Own"},
        SourceCase{
            "OwnManifestAndAnotherArchitecture", true, {"--arch", "arm64"}, "--arch arm64 is not the manifest's x64"},
        SourceCase{"MadeManifest", false, {"--name", "Oru.Made", "--publisher", "CN=Oru", "--version", "1.0.0.0"}, ""},
        SourceCase{"MadeManifestWithoutName",
                   false,
                   {"--publisher", "CN=Oru", "--version", "1.0.0.0"},
                   "--name is needed when the source folder has no AppxManifest.xml"}),
    [](const testing::TestParamInfo<SourceCase>& info) { return info.param.name; });

}  // namespace
