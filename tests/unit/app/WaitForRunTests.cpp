#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "app/Options.h"
#include "app/WaitForRun.h"
#include "platform/ThreadPool.h"
#include "tests/support/ConsoleCapture.h"
#include "tests/support/Raised.h"
#include "tests/support/ScriptedPackageManager.h"

namespace {

using platform::AsyncCompleter;
using platform::IAsyncOperation;
using test_support::CodeOf;

IAsyncOperation<bool> Immediately(bool value) { co_return value; }

IAsyncOperation<bool> Failing(platform::hresult code) {
    platform::Throw(code);
    co_return true;
}

TEST(WaitForResult, ATaskThatHasAlreadyFinishedNeedsNoHandler) {
    for (const bool value : {true, false}) {
        IAsyncOperation<bool> task = Immediately(value);
        EXPECT_EQ(app::WaitForResult(task), value);
        // The wait registered nothing: the one completion handler is still free.
        EXPECT_NO_THROW(task.Completed([](const auto&, auto) {}));
    }
}

TEST(WaitForResult, WaitsForATaskFinishedOnAnotherThread) {
    AsyncCompleter<bool> completer;
    std::thread finisher([completer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        completer.Complete(true);
    });
    EXPECT_TRUE(app::WaitForResult(completer.Operation()));
    finisher.join();
}

TEST(WaitForResult, RacesBetweenStatusQueryAndRegistrationEndWithTheResult) {
    for (int i = 0; i < 2000; ++i) {
        AsyncCompleter<bool> completer;
        const bool value = i % 2 == 0;
        platform::RunOnThreadPool([completer, value] { completer.Complete(value); });
        EXPECT_EQ(app::WaitForResult(completer.Operation()), value);
    }
}

TEST(WaitForResult, ACancelledTaskIsRaisedAsCancellation) {
    AsyncCompleter<bool> completer;
    platform::RunOnThreadPool([completer] { completer.Cancel(); });
    EXPECT_EQ(CodeOf([&] { app::WaitForResult(completer.Operation()); }), platform::kCancelled);
}

TEST(WaitForResult, AFailedTaskIsRaisedWithItsCode) {
    EXPECT_EQ(CodeOf([] { app::WaitForResult(Failing(platform::kAccessDenied)); }), platform::kAccessDenied);
}

TEST(WaitForRun, ExitStatusFollowsTheOutcome) {
    for (const bool succeeds : {true, false}) {
        test_support::ScopedScriptedService scripted;
        test_support::ScriptedRequest request;
        request.end = succeeds ? test_support::ScriptedRequest::End::Completed : test_support::ScriptedRequest::End::Error;
        request.errorCode = platform::ToHresult(0x80073CF9);
        scripted.Service().Script(L"AddPackageByAppInstallerFileAsync", request);
        app::Options options;
        const char* argv[] = {"appdeploy"};
        std::ostringstream help;
        ASSERT_TRUE(options.Parse(1, argv, help));
        test_support::ConsoleCapture console;

        EXPECT_EQ(app::WaitForRun(options), succeeds ? 0 : 1);
    }
}

}  // namespace
