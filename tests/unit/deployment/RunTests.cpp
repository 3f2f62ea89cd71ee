#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/Options.h"
#include "deployment/Run.h"
#include "platform/Wait.h"
#include "tests/support/ConsoleCapture.h"
#include "tests/support/ScriptedPackageManager.h"

namespace {

using test_support::ScriptedRequest;
using End = ScriptedRequest::End;

void Parse(app::Options& options, std::vector<const char*> args) {
    args.insert(args.begin(), "appdeploy");
    std::ostringstream help;
    ASSERT_TRUE(options.Parse(static_cast<int>(args.size()), args.data(), help));
}

ScriptedRequest Ends(End end) {
    ScriptedRequest request;
    request.end = end;
    request.errorCode = platform::ToHresult(0x80073CF9);
    return request;
}

struct RunCase {
    std::string name;
    std::vector<const char*> args;
    std::vector<std::pair<std::wstring, End>> scripts;
    std::vector<std::wstring> lookup;  // packages the lookup finds
    std::vector<std::wstring> calls;   // what the service saw, in order
    bool result;
};

std::vector<RunCase> RunCases() {
    const std::wstring add = L"AddPackageByAppInstallerFileAsync";
    const std::wstring volume = L"GetDefaultPackageVolume";
    const std::wstring provision = L"ProvisionPackageForAllUsersAsync";
    const std::wstring deprovision = L"DeprovisionPackageForAllUsersAsync";
    const std::wstring findAll = L"FindPackagesByPackageFamilyName";
    const std::wstring findMine = L"FindPackagesByUserSecurityIdPackageFamilyName";
    const std::wstring remove = L"RemovePackageWithOptionsAsync";
    return {
        {"AddOnly", {}, {}, {}, {volume, add}, true},
        {"AddFails", {}, {{add, End::Error}}, {}, {volume, add}, false},
        {"AddThenProvision", {"-p"}, {}, {}, {volume, add, provision}, true},
        {"FailedAddSkipsProvisioning", {"-p"}, {{add, End::Error}}, {}, {volume, add}, false},
        {"ProvisioningFailsAfterAdd", {"-p"}, {{provision, End::Error}}, {}, {volume, add, provision}, false},
        {"RemoveForThisUser", {"-x"}, {}, {L"A_1"}, {findMine, remove}, true},
        {"DeprovisionThenRemoveForAllUsers", {"-x", "-p"}, {}, {L"A_1"}, {deprovision, findAll, remove}, true},
        {"FailedDeprovisioningStillRemoves", {"-px"}, {{deprovision, End::Error}}, {L"A_1", L"A_2"},
         {deprovision, findAll, remove, remove}, false},
        {"FailedRemovalFailsTheRun", {"-x"}, {{remove, End::Error}}, {L"A_1"}, {findMine, remove}, false},
    };
}

class RunSequence : public testing::TestWithParam<RunCase> {};

TEST_P(RunSequence, RunsTheOperationsInOrderAndCombinesTheirResults) {
    const RunCase& c = GetParam();
    test_support::ScopedScriptedService scripted;
    for (const auto& [operation, end] : c.scripts) {
        scripted.Service().Script(operation, Ends(end));
    }
    scripted.Service().ScriptLookup(L"FindPackagesByPackageFamilyName", c.lookup);
    scripted.Service().ScriptLookup(L"FindPackagesByUserSecurityIdPackageFamilyName", c.lookup);
    app::Options options;
    Parse(options, c.args);
    test_support::ConsoleCapture console;

    EXPECT_EQ(platform::WaitForResults(deployment::Run(options)), c.result);

    EXPECT_EQ(scripted.Service().CallNames(), c.calls);
    EXPECT_EQ(scripted.Activations(), 1);
}

INSTANTIATE_TEST_SUITE_P(, RunSequence, testing::ValuesIn(RunCases()), [](const auto& info) { return info.param.name; });

TEST(Run, PassesTheOptionValuesToTheOperations) {
    test_support::ScopedScriptedService scripted;
    scripted.Service().ScriptLookup(L"FindPackagesByPackageFamilyName", {L"Fam_1.0.0.0_x64__abc"});
    app::Options options;
    Parse(options, {"-x", "-p", "-f", "Fam_abc", "-i", "https://h.example/a.appinstaller"});
    test_support::ConsoleCapture console;

    EXPECT_TRUE(platform::WaitForResults(deployment::Run(options)));

    const auto calls = scripted.Service().Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].argument, L"Fam_abc");
    EXPECT_EQ(calls[1].argument, L"Fam_abc");
    EXPECT_EQ(calls[2].argument, L"Fam_1.0.0.0_x64__abc");
    EXPECT_EQ(calls[2].options, 0x80000u);
}

class RunWithInvalidUri : public testing::TestWithParam<const char*> {};

TEST_P(RunWithInvalidUri, FailsBeforeTheServiceIsObtained) {
    test_support::ScopedScriptedService scripted;
    app::Options options;
    Parse(options, {GetParam(), "-i", "not a uri"});
    test_support::ConsoleCapture console;

    auto task = deployment::Run(options);
    EXPECT_EQ(task.Status(), platform::AsyncStatus::Error);
    EXPECT_EQ(task.ErrorCode(), platform::kInvalidArgument);
    EXPECT_EQ(scripted.Activations(), 0);
    EXPECT_TRUE(scripted.Service().CallNames().empty());
    EXPECT_EQ(console.Text(), "");
}

INSTANTIATE_TEST_SUITE_P(, RunWithInvalidUri, testing::Values("-x", "--provision-all-users"));

TEST(Run, AServiceThatCannotBeActivatedFailsTheRun) {
    app::Options options;
    Parse(options, {"-x"});
    platform::deployment::ScopedPackageManagerActivation none(nullptr);
    test_support::ConsoleCapture console;

    auto task = deployment::Run(options);
    EXPECT_EQ(task.Status(), platform::AsyncStatus::Error);
    EXPECT_EQ(task.ErrorCode(), platform::kClassNotRegistered);
}

}  // namespace
