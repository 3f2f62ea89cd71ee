#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/RunProcess.h"
#include "tests/support/TestCommandLine.h"

namespace {

using app_test::kHelpText;
using test_support::ProcessOptions;
using test_support::ProcessResult;
using test_support::RunProcess;

// Each run gets a store of its own, so no run touches the user's packages.
class Cli : public testing::Test {
protected:
    void SetUp() override {
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        m_store = std::filesystem::path(APPDEPLOY_BINARY_DIR) / "e2e-stores" / info->name();
        std::filesystem::remove_all(m_store);
        std::filesystem::create_directories(m_store);
    }
    void TearDown() override { std::filesystem::remove_all(m_store); }

    ProcessResult Run(const std::vector<std::string>& args, ProcessOptions options = {}) {
        options.env.emplace_back("APPDEPLOY_STORE", m_store.string());
        options.killAfter = std::chrono::seconds(60);
        return RunProcess(APPDEPLOY_EXE, args, options);
    }

    std::filesystem::path m_store;
};

TEST_F(Cli, HelpGoesToStandardOutput) {
    const ProcessResult result = Run({"-?"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, kHelpText + "\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(Cli, UnknownOptionSaysSoAndPrintsHelp) {
    const ProcessResult result = Run({"--foo"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "Invalid option");
    EXPECT_EQ(result.out, kHelpText + "\n");
}

TEST_F(Cli, MissingValueIsOneLine) {
    const ProcessResult result = Run({"-i"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err,
              "Invalid command line: the required argument for option '--app-installer-file-uri' is missing\n");
    EXPECT_EQ(result.out, "");
}

TEST_F(Cli, ValueOutsideTheLocalEncodingIsACommandLineError) {
    // The classic locale's encoding is ASCII; LC_ALL wins over LANG.
    ProcessOptions options;
    options.env = {{"LC_ALL", "C"}, {"LANG", "C.UTF-8"}};
    const ProcessResult result = Run({"-x", "-f", "caf\xc3\xa9"}, options);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "Invalid command line: character conversion failed\n");
    EXPECT_EQ(result.out, "");
}

TEST_F(Cli, NonAsciiValueInTheEnvironmentsEncodingIsEchoedAndUsed) {
    ProcessOptions options;
    options.env = {{"LC_ALL", "C.UTF-8"}};
    const ProcessResult result = Run({"-x", "-f", "caf\xc3\xa9"}, options);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, app_test::Echo(app_test::kDefaultUriUtf8, false, true, "caf\xc3\xa9") +
                              "\nStarting remove packages\nCompleted remove packages, no package found\n");
    EXPECT_EQ(result.out, "");
}

TEST_F(Cli, NoArgumentsEchoesTheDefaults) {
    const ProcessResult result = Run({});
    EXPECT_EQ(result.exitStatus, 1);
    const std::string echo = app_test::Echo(app_test::kDefaultUriUtf8, false, false, app_test::kDefaultFamilyUtf8);
    EXPECT_EQ(result.err.substr(0, echo.size()), echo);
    EXPECT_EQ(result.out, "");
}

TEST_F(Cli, ClosedStandardErrorNeitherKillsNorLeaksIntoFiles) {
    ProcessOptions options;
    options.closeStderr = true;
    const ProcessResult result = Run({"-x"}, options);
    EXPECT_LT(result.exitStatus, 128);
    EXPECT_EQ(result.out, "");

    // With its standard error closed, a file the run opens must not take that
    // descriptor and receive the reports.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_store)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        std::ifstream file(entry.path(), std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        EXPECT_EQ(content.find("remove packages"), std::string::npos) << entry.path();
    }
}

}  // namespace
