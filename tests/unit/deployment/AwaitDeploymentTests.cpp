#include <gtest/gtest.h>

#include <new>
#include <regex>
#include <string>
#include <vector>

#include "deployment/AwaitDeployment.h"
#include "platform/Guid.h"
#include "platform/Wait.h"
#include "report/Console.h"
#include "report/LogError.h"
#include "tests/support/ConsoleCapture.h"
#include "tests/support/Raised.h"
#include "tests/support/ScriptedPackageManager.h"

namespace {

using platform::hresult;
using test_support::ScriptedRequest;
using End = ScriptedRequest::End;

constexpr const char* kResultLine = "\rDeployment result: ActivityId={12345678-9abc-def0-0102-030405060708}, IsRegistered=";

// Starts a scripted removal request, as a service hands it out.
deployment::DeploymentOperation Start(test_support::ScriptedPackageManager& service, ScriptedRequest request) {
    service.Script(L"RemovePackageWithOptionsAsync", std::move(request));
    return service.RemovePackageWithOptionsAsync(L"Pkg_1.0.0.0_neutral__abc", platform::deployment::RemovalOptions::None);
}

struct OutputCase {
    std::string name;
    ScriptedRequest request;
    std::string expected;  // the console bytes after the task ends
    bool result;
};

ScriptedRequest Request(End end, std::vector<std::uint32_t> progress, hresult errorCode = 0,
                        hresult extendedErrorCode = 0, std::wstring errorText = {}, bool isRegistered = true) {
    ScriptedRequest request;
    request.end = end;
    request.progress = std::move(progress);
    request.errorCode = errorCode;
    request.extendedErrorCode = extendedErrorCode;
    request.errorText = std::move(errorText);
    request.isRegistered = isRegistered;
    return request;
}

std::vector<OutputCase> OutputCases() {
    const std::string ok = std::string(kResultLine) + "true\n";
    const std::string notRegistered = std::string(kResultLine) + "false\n";
    return {
        {"CompletedWithProgress", Request(End::Completed, {25, 50, 100}),
         "\rProgress: 25%\rProgress: 50%\rProgress: 100%" + ok + "Remove package completed\n", true},
        {"CompletedWithoutProgress", Request(End::Completed, {}), ok + "Remove package completed\n", true},
        {"ShorterProgressLeavesEarlierTextToTheTerminal", Request(End::Completed, {100, 5}),
         "\rProgress: 100%\rProgress: 5%" + ok + "Remove package completed\n", true},
        {"CompletedWithExtendedErrorStillSucceeds",
         Request(End::Completed, {}, 0, platform::ToHresult(0x80070005), L"Access to the folder was denied"),
         ok + "Deployment result error: ExtendedErrorCode=0x80070005, ErrorText: Access to the folder was denied\n" +
             "Remove package completed\n",
         true},
        {"SuccessCodeInExtendedErrorIsShown", Request(End::Completed, {}, 0, 1), ok +
             "Deployment result error: ExtendedErrorCode=0x1, ErrorText: \nRemove package completed\n", true},
        {"ErrorTextAloneIsShownAndItsLineBreakKept", Request(End::Completed, {}, 0, 0, L"Note.\r\n"),
         ok + "Deployment result error: ExtendedErrorCode=0x0, ErrorText: Note.\r\nRemove package completed\n", true},
        {"ErrorStatusWithFailureCodeIsReportedUnderTheContext",
         Request(End::Error, {10}, platform::ToHresult(0x80073CF3), platform::ToHresult(0x80073CF3),
                 L"Café conflicts with the installed package", false),
         "\rProgress: 10%" + notRegistered +
             "Deployment result error: ExtendedErrorCode=0x80073cf3, ErrorText: Café conflicts with the installed "
             "package\n"
             "Remove package error: code=0x80073cf3, message=Package failed updates, dependency or conflict "
             "validation.\n",
         false},
        {"ErrorStatusWithCodeZero", Request(End::Error, {}, 0, 0, {}, false),
         notRegistered + "Remove package error: code = 0x0\n", false},
        {"ErrorStatusWithSuccessCode", Request(End::Error, {}, 1, 0, {}, false),
         notRegistered + "Remove package error: code = 0x1\n", false},
    };
}

class AwaitDeploymentOutput : public testing::TestWithParam<std::tuple<OutputCase, bool>> {};

TEST_P(AwaitDeploymentOutput, WritesExactBytesAndYields) {
    auto [c, finishedAtReturn] = GetParam();
    c.request.finishedAtReturn = finishedAtReturn;
    if (finishedAtReturn) {
        // A request that has finished before anyone listens sends no progress.
        c.request.progress.clear();
        c.expected = std::regex_replace(c.expected, std::regex("\rProgress: [0-9]+%"), "");
    }
    test_support::ScriptedPackageManager service;
    test_support::ConsoleCapture console;
    const bool result = platform::WaitForResults(deployment::AwaitDeployment(Start(service, c.request), L"Remove package"));
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(console.Text(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(, AwaitDeploymentOutput, testing::Combine(testing::ValuesIn(OutputCases()), testing::Bool()),
                         [](const auto& info) {
                             return std::get<0>(info.param).name +
                                    (std::get<1>(info.param) ? "_AlreadyFinished" : "_FinishedLater");
                         });

struct RaisedCase {
    std::string name;
    ScriptedRequest request;
    hresult code;
};

std::vector<RaisedCase> RaisedCases() {
    ScriptedRequest refused;
    refused.refuseProgressHandler = platform::kAccessDenied;
    return {
        {"Cancelled", Request(End::Canceled, {40}), platform::kCancelled},
        {"ResultsRefused", Request(End::Fail, {}, platform::ToHresult(0x80073CF0)), platform::ToHresult(0x80073CF0)},
        {"ProgressHandlerRefused", refused, platform::kAccessDenied},
    };
}

class AwaitDeploymentRaises : public testing::TestWithParam<RaisedCase> {};

TEST_P(AwaitDeploymentRaises, ToTheAwaitingCallerWithoutResultLines) {
    const RaisedCase& c = GetParam();
    test_support::ScriptedPackageManager service;
    test_support::ConsoleCapture console;
    const hresult raised = test_support::CodeOf(
        [&] { platform::WaitForResults(deployment::AwaitDeployment(Start(service, c.request), L"Remove package")); });
    EXPECT_EQ(raised, c.code) << "the error reaches the caller";
    EXPECT_EQ(console.Text().find("Deployment result"), std::string::npos);
    EXPECT_EQ(console.Text().find("Remove package"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(, AwaitDeploymentRaises, testing::ValuesIn(RaisedCases()),
                         [](const auto& info) { return info.param.name; });

TEST(AwaitDeploymentMemory, OutOfMemoryReachesTheCallerUnreported) {
    for (End end : {End::Error, End::Fail}) {
        test_support::ScriptedPackageManager service;
        test_support::ConsoleCapture console;
        EXPECT_THROW(platform::WaitForResults(deployment::AwaitDeployment(
                         Start(service, Request(end, {}, platform::kOutOfMemory)), L"Remove package")),
                     std::bad_alloc);
        EXPECT_EQ(console.Text().find("error: code="), std::string::npos);
    }
}

TEST(AwaitDeploymentRendering, PercentageAfterAHexadecimalCodeStaysDecimal) {
    test_support::ScriptedPackageManager service;
    test_support::ConsoleCapture console;
    report::LogError(L"Earlier", platform::PlatformError(platform::ToHresult(0x800704C7)));
    platform::WaitForResults(deployment::AwaitDeployment(Start(service, Request(End::Completed, {30})), L"Remove package"));
    EXPECT_NE(console.Text().find("code=0x800704c7"), std::string::npos);
    EXPECT_NE(console.Text().find("\rProgress: 30%\r"), std::string::npos);
}

TEST(GuidText, ZeroFillsEveryField) {
    EXPECT_EQ(platform::GuidText(platform::Guid{0x1, 0x2, 0xa, {0, 0xff, 0, 1, 2, 3, 4, 0xab}}),
              L"{00000001-0002-000a-00ff-0001020304ab}");
}

}  // namespace
