#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>
#include <vector>

#include "deployment/Installer.h"
#include "platform/Wait.h"
#include "tests/support/ConsoleCapture.h"
#include "tests/support/ScriptedPackageManager.h"

namespace {

using platform::hresult;
using platform::ToHresult;
using test_support::ScriptedCall;
using test_support::ScriptedRequest;
using End = ScriptedRequest::End;

constexpr const char* kResultLine = "\rDeployment result: ActivityId={12345678-9abc-def0-0102-030405060708}, IsRegistered=";

ScriptedRequest Ends(End end, hresult errorCode = 0) {
    ScriptedRequest request;
    request.end = end;
    request.errorCode = errorCode;
    request.isRegistered = end == End::Completed;
    return request;
}

// A scripted service, an installer on it (made after the service, which it
// activates), and the console captured.
class InstallerTest : public testing::Test {
protected:
    test_support::ScriptedPackageManager& Service() { return m_scripted.Service(); }

    test_support::ScopedScriptedService m_scripted;
    deployment::Installer m_installer;
    test_support::ConsoleCapture m_console;
};

// The three single-request operations share one shape.
struct Operation {
    std::string name;
    std::wstring serviceCall;
    std::string opening;
    std::string context;
    std::function<platform::IAsyncOperation<bool>(deployment::Installer&, const platform::Uri&, const std::wstring&)> call;
};

std::vector<Operation> Operations() {
    return {
        {"Add", L"AddPackageByAppInstallerFileAsync", "\nStarting add package from app installer file\n",
         "Add package", [](auto& installer, const auto& uri, const auto&) { return installer.AddPackage(uri); }},
        {"Provision", L"ProvisionPackageForAllUsersAsync", "\nStarting provision package for all users\n",
         "Provision package",
         [](auto& installer, const auto&, const auto& family) { return installer.ProvisionPackage(family); }},
        {"Deprovision", L"DeprovisionPackageForAllUsersAsync", "\nStarting deprovision package for all users\n",
         "Deprovision package",
         [](auto& installer, const auto&, const auto& family) { return installer.DeprovisionPackage(family); }},
    };
}

struct Scenario {
    std::string name;
    std::function<void(test_support::ScriptedPackageManager&, const std::wstring& serviceCall)> script;
    std::function<std::string(const Operation&)> expected;  // after the opening message
    bool result;
};

std::vector<Scenario> Scenarios() {
    return {
        {"Completed", [](auto& s, const auto& call) { s.Script(call, Ends(End::Completed)); },
         [](const Operation& op) { return std::string(kResultLine) + "true\n" + op.context + " completed\n"; }, true},
        {"NotCompletedIsReportedByTheFollowerOnly",
         [](auto& s, const auto& call) { s.Script(call, Ends(End::Error, 0)); },
         [](const Operation& op) { return std::string(kResultLine) + "false\n" + op.context + " error: code = 0x0\n"; },
         false},
        {"RefusedAtStart",
         [](auto& s, const auto& call) {
             ScriptedRequest request;
             request.raiseAtCall = ToHresult(0x80073CF0);
             s.Script(call, request);
         },
         [](const Operation& op) {
             return op.context + " error: code=0x80073cf0, message=Package could not be opened.\n";
         },
         false},
        {"FollowedRequestFails", [](auto& s, const auto& call) { s.Script(call, Ends(End::Fail, platform::kAccessDenied)); },
         [](const Operation& op) { return op.context + " error: code=0x80070005, message=Access is denied.\n"; },
         false},
        {"Cancelled", [](auto& s, const auto& call) { s.Script(call, Ends(End::Canceled)); },
         [](const Operation& op) {
             return op.context + " error: code=0x800704c7, message=The operation was canceled by the user.\n";
         },
         false},
    };
}

class SingleRequestOperation : public InstallerTest,
                               public testing::WithParamInterface<std::tuple<Operation, Scenario>> {};

TEST_P(SingleRequestOperation, ReportsOnceAndYields) {
    const auto& [op, scenario] = GetParam();
    scenario.script(Service(), op.serviceCall);
    const platform::Uri uri(L"https://quillmark.example/release-app/AppPackage.appinstaller");
    const std::wstring family = L"Oru.Quillmark_ratp2p7zs941j";

    const bool result = platform::WaitForResults(op.call(m_installer, uri, family));

    EXPECT_EQ(result, scenario.result);
    EXPECT_EQ(m_console.Text(), op.opening + scenario.expected(op));
    const std::vector<std::wstring> names = Service().CallNames();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), op.serviceCall);
}

INSTANTIATE_TEST_SUITE_P(, SingleRequestOperation,
                         testing::Combine(testing::ValuesIn(Operations()), testing::ValuesIn(Scenarios())),
                         [](const auto& info) {
                             return std::get<0>(info.param).name + "_" + std::get<1>(info.param).name;
                         });

using AddPackage = InstallerTest;

TEST_F(AddPackage, AsksForTheDefaultVolumeAndPassesItWithNoOptions) {
    Service().ScriptVolume(std::nullopt, L"Volume7");
    const platform::Uri uri(L"file:///srv/app/Sample.appinstaller");

    EXPECT_TRUE(platform::WaitForResults(m_installer.AddPackage(uri)));

    const std::vector<ScriptedCall> calls = Service().Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].operation, L"GetDefaultPackageVolume");
    EXPECT_EQ(calls[1].operation, L"AddPackageByAppInstallerFileAsync");
    EXPECT_EQ(calls[1].argument, L"file:///srv/app/Sample.appinstaller");
    EXPECT_EQ(calls[1].volume, L"Volume7");
    EXPECT_EQ(calls[1].options, 0u);
}

TEST_F(AddPackage, AVolumeThatCannotBeObtainedIsReportedAndNoRequestStarts) {
    Service().ScriptVolume(platform::kAccessDenied);

    EXPECT_FALSE(platform::WaitForResults(m_installer.AddPackage(platform::Uri(L"https://a.example/x.appinstaller"))));

    EXPECT_EQ(m_console.Text(),
              "\nStarting add package from app installer file\n"
              "Add package error: code=0x80070005, message=Access is denied.\n");
    EXPECT_EQ(Service().CallNames(), std::vector<std::wstring>{L"GetDefaultPackageVolume"});
}

using ProvisionAndDeprovision = InstallerTest;

TEST_F(ProvisionAndDeprovision, PassAnEmptyFamilyNameUnchanged) {
    ScriptedRequest refused;
    refused.raiseAtCall = platform::kInvalidArgument;
    Service().Script(L"ProvisionPackageForAllUsersAsync", refused);

    EXPECT_FALSE(platform::WaitForResults(m_installer.ProvisionPackage(L"")));
    EXPECT_TRUE(platform::WaitForResults(m_installer.DeprovisionPackage(L"")));

    const std::vector<ScriptedCall> calls = Service().Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].argument, L"");
    EXPECT_EQ(calls[1].argument, L"");
    EXPECT_NE(m_console.Text().find("Provision package error: code=0x80070057, message=The parameter is incorrect.\n"),
              std::string::npos);
}

using SingleRequestOperations = InstallerTest;

TEST_F(SingleRequestOperations, OutOfMemoryPassesThroughUnreported) {
    ScriptedRequest request;
    request.raiseAtCall = platform::kOutOfMemory;
    Service().Script(L"ProvisionPackageForAllUsersAsync", request);

    EXPECT_THROW(platform::WaitForResults(m_installer.ProvisionPackage(L"Family_x")), std::bad_alloc);
    EXPECT_EQ(m_console.Text(), "\nStarting provision package for all users\n");
}

// --- removing the packages of a family

std::vector<std::wstring> FullNames(int count) {
    std::vector<std::wstring> names;
    for (int i = 1; i <= count; ++i) {
        names.push_back(L"Oru.App_1.0.0." + std::to_wstring(i) + L"_neutral__ratp2p7zs941j");
    }
    return names;
}

std::string RemovalOf(const std::wstring& fullName, bool completed) {
    std::string line = "Starting remove package: " + std::string(fullName.begin(), fullName.end()) + "\n" +
                       kResultLine + (completed ? "true\n" : "false\n");
    return line + (completed ? "Remove package completed\n" : "Remove package error: code=0x80073cfa, message=Removal "
                                                              "failed. Please contact your software vendor.\n");
}

struct RemovalCase {
    std::string name;
    int packages;
    std::vector<End> ends;  // per package; missing entries complete
    std::string summary;
    bool result;
};

class RemovePackagesCounts : public InstallerTest, public testing::WithParamInterface<RemovalCase> {};

TEST_P(RemovePackagesCounts, RemovesOneAtATimeAndSummarises) {
    const RemovalCase& c = GetParam();
    const std::vector<std::wstring> names = FullNames(c.packages);
    Service().ScriptLookup(L"FindPackagesByUserSecurityIdPackageFamilyName", names);
    std::string expected = "\nStarting remove packages\n";
    for (int i = 0; i < c.packages; ++i) {
        const End end = i < static_cast<int>(c.ends.size()) ? c.ends[i] : End::Completed;
        Service().Script(L"RemovePackageWithOptionsAsync", Ends(end, ToHresult(0x80073CFA)));
        expected += RemovalOf(names[i], end == End::Completed);
    }
    expected += c.summary;

    EXPECT_EQ(platform::WaitForResults(m_installer.RemovePackages(L"Oru.App_ratp2p7zs941j", false)), c.result);

    EXPECT_EQ(m_console.Text(), expected);
    std::vector<std::wstring> removed;
    for (const ScriptedCall& call : Service().Calls()) {
        if (call.operation == L"RemovePackageWithOptionsAsync") {
            removed.push_back(call.argument);
            EXPECT_EQ(call.options, 0u);
        }
    }
    EXPECT_EQ(removed, names);
}

INSTANTIATE_TEST_SUITE_P(
    , RemovePackagesCounts,
    testing::Values(RemovalCase{"NoneFound", 0, {}, "Completed remove packages, no package found\n", true},
                    RemovalCase{"ThreeRemoved", 3, {}, "Completed remove packages, count=3\n", true},
                    RemovalCase{"TwelveRemoved", 12, {}, "Completed remove packages, count=12\n", true},
                    RemovalCase{"FirstFailsSecondSucceeds", 2, {End::Error},
                                "Completed remove packages, successCount=1, failureCount=1\n", false},
                    RemovalCase{"AllFail", 2, {End::Error, End::Error},
                                "Completed remove packages, successCount=0, failureCount=2\n", false}),
    [](const auto& info) { return info.param.name; });

TEST(RemovePackages, ACancelledRemovalEndsTheOperationWithoutSummary) {
    test_support::ScopedScriptedService scripted;
    const std::vector<std::wstring> names = FullNames(3);
    scripted.Service().ScriptLookup(L"FindPackagesByUserSecurityIdPackageFamilyName", names);
    scripted.Service().Script(L"RemovePackageWithOptionsAsync", Ends(End::Completed));
    scripted.Service().Script(L"RemovePackageWithOptionsAsync", Ends(End::Canceled));
    deployment::Installer installer;
    test_support::ConsoleCapture console;

    EXPECT_FALSE(platform::WaitForResults(installer.RemovePackages(L"Oru.App_ratp2p7zs941j", false)));

    const std::wstring second = names[1];
    EXPECT_EQ(console.Text(), "\nStarting remove packages\n" + RemovalOf(names[0], true) +
                                  "Starting remove package: " + std::string(second.begin(), second.end()) + "\n" +
                                  "Remove packages error: code=0x800704c7, message=The operation was canceled by the "
                                  "user.\n");
    int removals = 0;
    for (const ScriptedCall& call : scripted.Service().Calls()) {
        removals += call.operation == L"RemovePackageWithOptionsAsync";
    }
    EXPECT_EQ(removals, 2);
}

TEST(RemovePackages, ARefusedLookupIsReportedWithoutSummary) {
    test_support::ScopedScriptedService scripted;
    scripted.Service().ScriptLookupFailure(L"FindPackagesByPackageFamilyName", platform::kAccessDenied);
    deployment::Installer installer;
    test_support::ConsoleCapture console;

    EXPECT_FALSE(platform::WaitForResults(installer.RemovePackages(L"Oru.App_ratp2p7zs941j", true)));

    EXPECT_EQ(console.Text(),
              "\nStarting remove packages\nRemove packages error: code=0x80070005, message=Access is denied.\n");
}

TEST(RemovePackages, TheAllUsersFlagChoosesTheLookupAndTheRemovalOptions) {
    for (const bool allUsers : {false, true}) {
        test_support::ScopedScriptedService scripted;
        const std::wstring lookup =
            allUsers ? L"FindPackagesByPackageFamilyName" : L"FindPackagesByUserSecurityIdPackageFamilyName";
        scripted.Service().ScriptLookup(lookup, FullNames(2));
        deployment::Installer installer;
        test_support::ConsoleCapture console;

        EXPECT_TRUE(platform::WaitForResults(installer.RemovePackages(L"", allUsers)));

        const std::vector<ScriptedCall> calls = scripted.Service().Calls();
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[0].operation, lookup);
        EXPECT_EQ(calls[0].argument, L"");
        EXPECT_EQ(calls[0].userSecurityId, L"");
        for (std::size_t i = 1; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].options, allUsers ? 0x80000u : 0u);
        }
    }
}

}  // namespace
