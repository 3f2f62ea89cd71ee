// The scripted service the deployment tests rely on: what it records, and the
// order and threads in which its requests report and end.
#include "tests/support/ScriptedPackageManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Apartment.h"
#include "platform/Uri.h"
#include "platform/Wait.h"
#include "tests/support/Raised.h"
#include "tests/unit/platform/Waiting.h"

namespace {

using platform::AsyncStatus;
using platform::PlatformError;
using platform::WaitForStatus;
using platform::deployment::AddPackageByAppInstallerOptions;
using platform::deployment::DeploymentOperation;
using platform::deployment::DeploymentProgress;
using platform::deployment::PackageManager;
using platform::deployment::PackageVolume;
using platform::deployment::RemovalOptions;
using test_support::ScopedScriptedService;
using test_support::ScriptedGate;
using test_support::ScriptedRequest;

// What a follower of one request saw, in order.
struct Observed {
    std::mutex lock;
    std::vector<std::wstring> events;  // "progress N" and "end"
    std::vector<std::thread::id> threads;

    void Add(std::wstring event) {
        std::lock_guard guard(lock);
        events.push_back(std::move(event));
        threads.push_back(std::this_thread::get_id());
    }
};

AsyncStatus Follow(const DeploymentOperation& operation, Observed& observed) {
    operation.Progress([&](const auto&, const DeploymentProgress& progress) {
        observed.Add(L"progress " + std::to_wstring(progress.percentage));
    });
    auto done = std::make_shared<platform::Event>();
    operation.Completed([&, done](const auto&, AsyncStatus) {
        observed.Add(L"end");
        done->Set();
    });
    done->Wait();
    return operation.Status();
}

struct EndCase {
    const char* name;
    ScriptedRequest::End end;
    AsyncStatus status;
    bool hasResult;
};

class ScriptedEndTest : public testing::TestWithParam<EndCase> {};

TEST_P(ScriptedEndTest, ReportsOnAWorkerThenEndsAfterTheLastReport) {
    ScopedScriptedService scripted;
    ScriptedRequest request;
    request.progress = {5, 50, 100};
    request.end = GetParam().end;
    request.errorCode = platform::ToHresult(0x80073CF9);
    request.extendedErrorCode = platform::ToHresult(0x80070005);
    request.errorText = L"scripted text";
    scripted.Service().Script(L"ProvisionPackageForAllUsersAsync", request);

    const PackageManager manager;
    const auto operation = manager.ProvisionPackageForAllUsersAsync(L"Family_x");
    Observed observed;
    EXPECT_EQ(Follow(operation, observed), GetParam().status);

    EXPECT_EQ(observed.events,
              (std::vector<std::wstring>{L"progress 5", L"progress 50", L"progress 100", L"end"}));
    for (const auto& thread : observed.threads) {
        EXPECT_NE(thread, std::this_thread::get_id());
    }
    if (GetParam().hasResult) {
        const auto result = operation.GetResults();
        EXPECT_EQ(result.ActivityId(), request.activityId);
        EXPECT_TRUE(result.IsRegistered());
        EXPECT_EQ(result.ExtendedErrorCode(), request.extendedErrorCode);
        EXPECT_EQ(result.ErrorText(), L"scripted text");
    }
    if (GetParam().status == AsyncStatus::Error) {
        EXPECT_EQ(operation.ErrorCode(), request.errorCode);
    }
    if (GetParam().end == ScriptedRequest::End::Fail) {
        EXPECT_THROW(operation.GetResults(), PlatformError);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scripted, ScriptedEndTest,
    testing::Values(EndCase{"Completed", ScriptedRequest::End::Completed, AsyncStatus::Completed, true},
                    EndCase{"Error", ScriptedRequest::End::Error, AsyncStatus::Error, true},
                    EndCase{"Canceled", ScriptedRequest::End::Canceled, AsyncStatus::Canceled, false},
                    EndCase{"Fail", ScriptedRequest::End::Fail, AsyncStatus::Error, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Scripted, RecordsEveryCallInOrder) {
    ScopedScriptedService scripted;
    auto& service = scripted.Service();
    service.ScriptVolume(std::nullopt, L"Volume7");
    service.ScriptLookup(L"FindPackagesByPackageFamilyName", {L"A_1_x64__p", L"A_2_x64__p"});
    service.ScriptLookupFailure(L"FindPackagesByUserSecurityIdPackageFamilyName", platform::kAccessDenied);

    const PackageManager manager;
    const PackageVolume volume = manager.GetDefaultPackageVolume();
    EXPECT_EQ(volume.Name(), L"Volume7");
    manager.AddPackageByAppInstallerFileAsync(platform::Uri(L"file:///tmp/caf\u00e9.appinstaller"),
                                              AddPackageByAppInstallerOptions::None, volume);
    const auto packages = manager.FindPackagesByPackageFamilyName(L"A_p");
    ASSERT_EQ(packages.size(), 2u);
    EXPECT_EQ(packages[1].Id().FullName(), L"A_2_x64__p");
    EXPECT_EQ(packages[1].Id().FamilyName(), L"A_p");
    EXPECT_THROW(manager.FindPackagesByUserSecurityIdPackageFamilyName(L"", L"A_p"), PlatformError);
    EXPECT_TRUE(manager.FindPackagesByUserSecurityIdPackageFamilyName(L"", L"A_p").empty()) << "script used up";
    manager.RemovePackageWithOptionsAsync(L"A_1_x64__p", RemovalOptions::RemoveForAllUsers);

    const auto calls = service.Calls();
    EXPECT_EQ(service.CallNames(),
              (std::vector<std::wstring>{L"GetDefaultPackageVolume", L"AddPackageByAppInstallerFileAsync",
                                         L"FindPackagesByPackageFamilyName",
                                         L"FindPackagesByUserSecurityIdPackageFamilyName",
                                         L"FindPackagesByUserSecurityIdPackageFamilyName",
                                         L"RemovePackageWithOptionsAsync"}));
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[1].argument, L"file:///tmp/caf\u00e9.appinstaller");
    EXPECT_EQ(calls[1].volume, L"Volume7");
    EXPECT_EQ(calls[1].options, 0u);
    EXPECT_EQ(calls[3].argument, L"A_p");
    EXPECT_EQ(calls[3].userSecurityId, L"");
    EXPECT_EQ(calls[5].options, 0x80000u);
}

TEST(Scripted, RaisesAtTheCallAndForTheProgressHandlerWhenToldTo) {
    ScopedScriptedService scripted;
    ScriptedRequest raising;
    raising.raiseAtCall = platform::kAccessDenied;
    scripted.Service().Script(L"RemovePackageWithOptionsAsync", raising);
    ScriptedRequest refusing;
    refusing.refuseProgressHandler = platform::kNotImplemented;
    scripted.Service().Script(L"RemovePackageWithOptionsAsync", refusing);
    scripted.Service().ScriptVolume(platform::kPathNotFound);

    const PackageManager manager;
    EXPECT_THROW(manager.RemovePackageWithOptionsAsync(L"P", RemovalOptions::None), PlatformError);
    const auto operation = manager.RemovePackageWithOptionsAsync(L"P", RemovalOptions::None);
    EXPECT_EQ(test_support::CodeOf([&] { operation.Progress([](const auto&, const auto&) {}); }),
              platform::kNotImplemented)
        << "the handler is refused";
    EXPECT_EQ(WaitForStatus(operation), AsyncStatus::Completed);
    EXPECT_THROW(manager.GetDefaultPackageVolume(), PlatformError);
    EXPECT_EQ(scripted.Service().CallNames().size(), 3u) << "raising calls are recorded too";
}

TEST(Scripted, FinishedAtReturnAndUnscriptedRequests) {
    ScopedScriptedService scripted;
    ScriptedRequest atOnce;
    atOnce.finishedAtReturn = true;
    atOnce.end = ScriptedRequest::End::Error;
    atOnce.errorCode = platform::kFail;
    scripted.Service().Script(L"DeprovisionPackageForAllUsersAsync", atOnce);

    const PackageManager manager;
    EXPECT_EQ(manager.DeprovisionPackageForAllUsersAsync(L"F").Status(), AsyncStatus::Error);
    const auto unscripted = manager.DeprovisionPackageForAllUsersAsync(L"F");
    EXPECT_EQ(unscripted.Status(), AsyncStatus::Started);
    EXPECT_EQ(WaitForStatus(unscripted), AsyncStatus::Completed);
    EXPECT_THROW(scripted.Service().Script(L"Deprovision", {}), std::invalid_argument);
}

TEST(Scripted, AGatedRequestWaitsForTheTest) {
    ScopedScriptedService scripted;
    ScriptedRequest request;
    request.progress = {30};
    request.manualGate = std::make_shared<ScriptedGate>();
    const auto gate = request.manualGate;
    scripted.Service().Script(L"AddPackageByAppInstallerFileAsync", request);
    scripted.Service().Script(L"AddPackageByAppInstallerFileAsync", request);

    const PackageManager manager;
    const platform::Uri uri(L"https://example.com/a.appinstaller");
    const auto first = manager.AddPackageByAppInstallerFileAsync(uri, {}, PackageVolume());
    const auto second = manager.AddPackageByAppInstallerFileAsync(uri, {}, PackageVolume());
    std::atomic<int> ended{0};
    first.Completed([&](const auto&, AsyncStatus) { ++ended; });
    second.Completed([&](const auto&, AsyncStatus) { ++ended; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ended, 0);
    EXPECT_EQ(first.Status(), AsyncStatus::Started);

    gate->Open();
    EXPECT_EQ(WaitForStatus(manager.AddPackageByAppInstallerFileAsync(uri, {}, PackageVolume())),
              AsyncStatus::Completed);
    while (ended.load() < 2) {
        std::this_thread::yield();
    }
}

TEST(Scripted, RequestsNobodyAwaitsEndWhenTheServiceGoes) {
    DeploymentOperation operation;
    {
        ScopedScriptedService scripted;
        operation = PackageManager().ProvisionPackageForAllUsersAsync(L"F");
    }
    EXPECT_EQ(operation.Status(), AsyncStatus::Error);
    EXPECT_EQ(operation.ErrorCode(), platform::kAbort);
}

}  // namespace
