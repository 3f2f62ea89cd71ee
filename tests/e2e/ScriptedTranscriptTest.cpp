// Whole runs of the tool against the scripted service: exact standard error,
// standard output and exit status.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/RunProcess.h"
#include "tests/support/TestCommandLine.h"

namespace {

using app_test::Echo;
using app_test::kDefaultFamilyUtf8;
using app_test::kDefaultUriUtf8;

constexpr const char* kResult = "\rDeployment result: ActivityId={12345678-9abc-def0-0102-030405060708}, IsRegistered=";

struct TranscriptCase {
    std::string name;
    std::vector<std::string> args;
    std::string script;
    std::string err;
    int status;
};

std::vector<TranscriptCase> Cases() {
    return {
        {"AddWithProgress", {}, "request AddPackageByAppInstallerFileAsync progress=0,35,70,100\n",
         Echo(kDefaultUriUtf8, false, false, kDefaultFamilyUtf8) +
             "\nStarting add package from app installer file\n"
             "\rProgress: 0%\rProgress: 35%\rProgress: 70%\rProgress: 100%" + kResult + "true\nAdd package completed\n",
         0},
        {"RemoveTwoPackages", {"-x", "-f", "Oru.App_ratp2p7zs941j"},
         "lookup FindPackagesByUserSecurityIdPackageFamilyName Oru.App_1.0.0.0_neutral__ratp2p7zs941j "
         "Oru.App_1.1.0.0_x64__ratp2p7zs941j\n"
         "request RemovePackageWithOptionsAsync progress=50,100\n"
         "request RemovePackageWithOptionsAsync progress=100\n",
         Echo(kDefaultUriUtf8, false, true, "Oru.App_ratp2p7zs941j") +
             "\nStarting remove packages\n"
             "Starting remove package: Oru.App_1.0.0.0_neutral__ratp2p7zs941j\n"
             "\rProgress: 50%\rProgress: 100%" + kResult + "true\nRemove package completed\n"
             "Starting remove package: Oru.App_1.1.0.0_x64__ratp2p7zs941j\n"
             "\rProgress: 100%" + kResult + "true\nRemove package completed\n"
             "Completed remove packages, count=2\n",
         0},
        {"AddFailsAndProvisioningIsNotTried", {"-p", "-i", "file:///srv/a.appinstaller"},
         "request AddPackageByAppInstallerFileAsync progress=20 end=Error code=0x80080207 extended=0x80080207 "
         "registered=false text=Block 3 of 'bin/app' does not match its hash.\n",
         Echo("file:///srv/a.appinstaller", true, false, kDefaultFamilyUtf8) +
             "\nStarting add package from app installer file\n"
             "\rProgress: 20%" + kResult + "false\n"
             "Deployment result error: ExtendedErrorCode=0x80080207, ErrorText: Block 3 of 'bin/app' does not "
             "match its hash.\n"
             "Add package error: code=0x80080207, message=The computed hash value of the block does not match the "
             "one stored in the block map.\n",
         1},
        {"ErrorTextEndingInACarriageReturnKeepsItsLine", {"-p", "-i", "file:///srv/a.appinstaller"},
         "request AddPackageByAppInstallerFileAsync end=Error code=0x80070005 extended=0x80070005 "
         "registered=false text=Access denied.\r\n",
         Echo("file:///srv/a.appinstaller", true, false, kDefaultFamilyUtf8) +
             "\nStarting add package from app installer file\n" + kResult + "false\n"
             "Deployment result error: ExtendedErrorCode=0x80070005, ErrorText: Access denied.\r\n"
             "Add package error: code=0x80070005, message=Access is denied.\n",
         1},
        {"DeprovisionFailsRemovalStillRuns", {"-x", "-p", "-f", "F_x"},
         "request DeprovisionPackageForAllUsersAsync raise=0x80073CF1\n",
         Echo(kDefaultUriUtf8, true, true, "F_x") +
             "\nStarting deprovision package for all users\n"
             "Deprovision package error: code=0x80073cf1, message=Package was not found.\n"
             "\nStarting remove packages\nCompleted remove packages, no package found\n",
         1},
        {"InvalidUriFailsBeforeAnyOperation", {"-x", "-i", "relative/path"}, "",
         Echo("relative/path", false, true, kDefaultFamilyUtf8) +
             "appdeploy error: code=0x80070057, message=The URI 'relative/path' is not absolute.\n",
         1},
        {"NoServiceFailsTheRun", {}, "no-service\n",
         Echo(kDefaultUriUtf8, false, false, kDefaultFamilyUtf8) +
             "appdeploy error: code=0x80040154, message=Class not registered\n",
         1},
    };
}

class ScriptedTranscript : public testing::TestWithParam<TranscriptCase> {};

TEST_P(ScriptedTranscript, MatchesByteForByte) {
    const TranscriptCase& c = GetParam();
    const auto script = std::filesystem::temp_directory_path() / ("appdeploy-script-" + std::to_string(::getpid()) + c.name);
    std::ofstream(script) << c.script;

    test_support::ProcessOptions options;
    options.env = {{"APPDEPLOY_SCRIPT", script.string()}};
    options.killAfter = std::chrono::seconds(60);
    const test_support::ProcessResult run = test_support::RunProcess(APPDEPLOY_SCRIPTED_EXE, c.args, options);
    std::filesystem::remove(script);

    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exitStatus, c.status);
}

INSTANTIATE_TEST_SUITE_P(, ScriptedTranscript, testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
