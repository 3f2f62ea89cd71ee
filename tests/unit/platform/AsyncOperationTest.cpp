// Handles, completion and results of asynchronous operations made by hand
// (through a completer), as services make them.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Async.h"
#include "platform/Error.h"
#include "tests/support/Raised.h"
#include "tests/unit/platform/Waiting.h"

namespace {

using platform::AsyncCompleter;
using platform::AsyncStatus;
using platform::hresult;
using platform::IAsyncOperation;
using platform::IAsyncOperationWithProgress;
using platform::PlatformError;
using platform_tests::RunOnNewThread;
using test_support::CodeOf;

// What a Completed handler saw.
struct HandlerCalls {
    std::atomic<int> count{0};
    std::atomic<AsyncStatus> status{AsyncStatus::Started};
    std::thread::id thread;
    bool ranInsideRegistration = false;
};

enum class FinishTime { BeforeRegistration, DuringRegistration, AfterRegistration };

struct CompletionCase {
    const char* name;
    FinishTime when;
};

class CompletedHandlerTest : public testing::TestWithParam<CompletionCase> {};

// The handler runs exactly once, with the final status, on the thread that
// finished the operation, or on the registering thread when that is the one
// that finished it (before or inside the registration).
TEST_P(CompletedHandlerTest, RunsOnceOnTheFinishingThread) {
    const AsyncCompleter<int> completer;
    const IAsyncOperation<int> operation = completer.Operation();
    HandlerCalls calls;
    bool registering = false;
    const auto registeringThread = std::this_thread::get_id();

    if (GetParam().when == FinishTime::BeforeRegistration) {
        completer.Complete(1);
    }
    if (GetParam().when == FinishTime::DuringRegistration) {
        completer.OnListened([completer] { completer.Complete(1); });
    }
    registering = true;
    operation.Completed([&](const IAsyncOperation<int>& sender, AsyncStatus status) {
        calls.thread = std::this_thread::get_id();
        calls.ranInsideRegistration = registering;
        calls.status = status;
        EXPECT_EQ(sender.SharedState(), operation.SharedState());
        ++calls.count;
    });
    registering = false;

    std::thread::id finishingThread = registeringThread;
    if (GetParam().when == FinishTime::AfterRegistration) {
        EXPECT_EQ(calls.count, 0);
        finishingThread = RunOnNewThread([&] { completer.Complete(1); });
        EXPECT_FALSE(calls.ranInsideRegistration);
    } else {
        EXPECT_TRUE(calls.ranInsideRegistration);
    }
    EXPECT_EQ(calls.count, 1);
    EXPECT_EQ(calls.status, AsyncStatus::Completed);
    EXPECT_EQ(calls.thread, finishingThread);

    // Finishing again changes nothing and calls nobody.
    EXPECT_FALSE(completer.Complete(2));
    EXPECT_FALSE(completer.Cancel());
    EXPECT_EQ(calls.count, 1);
    EXPECT_EQ(operation.GetResults(), 1);
}

INSTANTIATE_TEST_SUITE_P(Async, CompletedHandlerTest,
                         testing::Values(CompletionCase{"Before", FinishTime::BeforeRegistration},
                                         CompletionCase{"During", FinishTime::DuringRegistration},
                                         CompletionCase{"After", FinishTime::AfterRegistration}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AsyncCompleted, SecondHandlerRaisesIllegalDelegateAssignment) {
    for (const bool finished : {false, true}) {
        const AsyncCompleter<int> completer;
        if (finished) {
            completer.Complete(1);
        }
        int calls = 0;
        // An empty handler counts as the one assignment too.
        completer.Operation().Completed(nullptr);
        EXPECT_EQ(CodeOf([&] { completer.Operation().Completed([&](const auto&, AsyncStatus) { ++calls; }); }),
                  platform::kIllegalDelegateAssignment);
        completer.Complete(1);
        EXPECT_EQ(calls, 0);
    }
}

TEST(AsyncCompleted, AHandlerThatThrowsDoesNotReachTheFinisher) {
    const AsyncCompleter<int> completer;
    completer.Operation().Completed([](const auto&, AsyncStatus) { throw PlatformError(platform::kFail); });
    EXPECT_NO_THROW(completer.Complete(3));
    EXPECT_EQ(completer.Operation().GetResults(), 3);

    const AsyncCompleter<int> finished;
    finished.Complete(4);
    EXPECT_NO_THROW(finished.Operation().Completed([](const auto&, AsyncStatus) { throw std::bad_alloc(); }));
}

// How an operation ends, and what GetResults, Status and ErrorCode say after.
struct ResultCase {
    const char* name;
    std::function<void(const AsyncCompleter<int>&)> finish;
    AsyncStatus status;
    hresult errorCode;
    std::optional<int> result;  // GetResults returns this, or else raises `raises`
    hresult raises;
    bool abandon = false;  // the service drops its completer after `finish`
};

class GetResultsTest : public testing::TestWithParam<ResultCase> {};

TEST_P(GetResultsTest, ReflectsTheEnd) {
    const auto& param = GetParam();
    std::optional<AsyncCompleter<int>> completer(std::in_place);
    const IAsyncOperation<int> operation = completer->Operation();
    param.finish(*completer);
    if (param.abandon) {
        completer.reset();
    }

    EXPECT_EQ(operation.Status(), param.status);
    EXPECT_EQ(operation.ErrorCode(), param.errorCode);
    if (param.result) {
        EXPECT_EQ(operation.GetResults(), *param.result);
        EXPECT_EQ(operation.GetResults(), *param.result) << "results can be taken again";
    } else {
        EXPECT_EQ(CodeOf([&] { operation.GetResults(); }), param.raises);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Async, GetResultsTest,
    testing::Values(
        ResultCase{"Started", [](const auto&) {}, AsyncStatus::Started, platform::kOk, std::nullopt,
                   platform::kIllegalMethodCall},
        ResultCase{"Completed", [](const auto& c) { c.Complete(7); }, AsyncStatus::Completed, platform::kOk, 7, 0},
        ResultCase{"CanceledByTheService", [](const auto& c) { c.Cancel(); }, AsyncStatus::Canceled,
                   platform::kCancelled, std::nullopt, platform::kCancelled},
        ResultCase{"CanceledByAHolder", [](const auto& c) { c.Operation().Cancel(); }, AsyncStatus::Canceled,
                   platform::kCancelled, std::nullopt, platform::kCancelled},
        ResultCase{"ErrorWithResult", [](const auto& c) { c.CompleteWithError(9, platform::ToHresult(0x80073CF9)); },
                   AsyncStatus::Error, platform::ToHresult(0x80073CF9), 9, 0},
        ResultCase{"ErrorWithoutResult", [](const auto& c) { c.Fail(platform::ToHresult(0x80073CF3)); },
                   AsyncStatus::Error, platform::ToHresult(0x80073CF3), std::nullopt, platform::ToHresult(0x80073CF3)},
        ResultCase{"Abandoned", [](const auto&) {}, AsyncStatus::Error, platform::kAbort, std::nullopt,
                   platform::kAbort, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AsyncGetResults, OutOfMemoryIsRaisedAsMemoryExhaustion) {
    const AsyncCompleter<int> completer;
    completer.Fail(platform::kOutOfMemory);
    EXPECT_THROW(completer.Operation().GetResults(), std::bad_alloc);
}

TEST(AsyncCancel, TellsTheServiceOnceAndWinsOverALateEnd) {
    const AsyncCompleter<int> completer;
    std::atomic<int> told{0};
    completer.OnCancel([&] { ++told; });
    HandlerCalls calls;
    completer.Operation().Completed([&](const auto&, AsyncStatus status) {
        calls.status = status;
        ++calls.count;
    });

    completer.Operation().Cancel();
    completer.Operation().Cancel();

    EXPECT_EQ(told, 1);
    EXPECT_EQ(calls.count, 1);
    EXPECT_EQ(calls.status, AsyncStatus::Canceled);
    EXPECT_TRUE(completer.IsCanceled());
    EXPECT_FALSE(completer.Complete(1));
    EXPECT_EQ(completer.Operation().Status(), AsyncStatus::Canceled);
}

TEST(AsyncCancel, AfterTheEndChangesNothing) {
    const AsyncCompleter<int> completer;
    bool told = false;
    completer.OnCancel([&] { told = true; });
    completer.Complete(5);
    completer.Operation().Cancel();
    EXPECT_FALSE(told);
    EXPECT_EQ(completer.Operation().Status(), AsyncStatus::Completed);
    EXPECT_EQ(completer.Operation().GetResults(), 5);
}

TEST(AsyncCompleter, DroppedOnAnotherThreadEndsTheOperation) {
    std::optional<AsyncCompleter<int>> completer(std::in_place);
    const IAsyncOperation<int> operation = completer->Operation();
    HandlerCalls calls;
    operation.Completed([&](const auto&, AsyncStatus status) {
        calls.status = status;
        calls.thread = std::this_thread::get_id();
        ++calls.count;
    });
    auto copy = *completer;
    completer.reset();
    EXPECT_EQ(operation.Status(), AsyncStatus::Started) << "a copy still holds it";

    const auto dropper = RunOnNewThread([&copy] { const auto last = std::move(copy); });
    EXPECT_EQ(calls.count, 1);
    EXPECT_EQ(calls.status, AsyncStatus::Error);
    EXPECT_EQ(calls.thread, dropper);
    EXPECT_EQ(operation.ErrorCode(), platform::kAbort);
}

TEST(AsyncCompleter, HandlersHoldingTheirOwnCompleterDoNotKeepTheOperationAlive) {
    std::weak_ptr<void> state;
    {
        const AsyncCompleter<int, int> completer;
        state = completer.Operation().SharedState();
        // Each callback holds the completer; finishing must let go of all of them.
        completer.OnCancel([completer] {});
        completer.OnListened([completer] {});
        completer.Operation().Progress([completer](const auto&, const int&) {});
        completer.Complete(1);
        completer.Operation().Progress([completer](const auto&, const int&) {});
    }
    EXPECT_TRUE(state.expired());
}

TEST(AsyncProgress, ReachesTheHandlerOnTheReportingThreadUntilTheEnd) {
    const AsyncCompleter<int, int> completer;
    const IAsyncOperationWithProgress<int, int> operation = completer.Operation();
    std::vector<int> seen;
    std::thread::id handlerThread;
    operation.Progress([&](const IAsyncOperationWithProgress<int, int>& sender, const int& value) {
        EXPECT_EQ(sender.SharedState(), operation.SharedState());
        handlerThread = std::this_thread::get_id();
        seen.push_back(value);
    });
    const auto reporter = RunOnNewThread([&] {
        completer.ReportProgress(10);
        completer.ReportProgress(50);
        completer.Complete(1);
        completer.ReportProgress(99);  // after the end: not delivered
    });
    EXPECT_EQ(seen, (std::vector<int>{10, 50}));
    EXPECT_EQ(handlerThread, reporter);
}

TEST(AsyncProgress, AHandlerThatThrowsDoesNotStopTheReports) {
    const AsyncCompleter<int, int> completer;
    int calls = 0;
    completer.Operation().Progress([&](const auto&, const int&) {
        ++calls;
        throw PlatformError(platform::kFail);
    });
    EXPECT_NO_THROW(completer.ReportProgress(1));
    EXPECT_NO_THROW(completer.ReportProgress(2));
    EXPECT_EQ(calls, 2);
}

TEST(AsyncProgress, ARefusingServiceRaisesItsCode) {
    const AsyncCompleter<int, int> completer;
    completer.RefuseProgressHandler(platform::kAccessDenied);
    EXPECT_EQ(CodeOf([&] { completer.Operation().Progress([](const auto&, const int&) {}); }),
              platform::kAccessDenied);
    EXPECT_EQ(completer.Operation().Status(), AsyncStatus::Started);
}

// Handlers are replaced while another thread reports: each report reaches one
// whole handler, and the last one registered gets the reports made after it.
TEST(AsyncProgress, HandlersMayBeReplacedWhileReportsArrive) {
    const AsyncCompleter<int, int> completer;
    const auto operation = completer.Operation();
    std::atomic<bool> stop{false};
    std::atomic<int> delivered{0};
    std::atomic<int> reported{0};
    operation.Progress([&delivered](const auto&, const int& value) { delivered += value; });
    std::thread reporter([&] {
        while (!stop.load()) {
            completer.ReportProgress(1);
            ++reported;
        }
    });
    const int rounds = platform_tests::kUnderThreadSanitizer ? 300 : 3000;
    for (int i = 0; i < rounds; ++i) {
        auto token = std::make_shared<int>(i);  // freed as soon as the handler is replaced and idle
        operation.Progress([&delivered, token](const auto&, const int& value) {
            EXPECT_GE(*token, 0);
            delivered += value;
        });
    }
    while (reported.load() < 10) {
        std::this_thread::yield();
    }
    stop = true;
    reporter.join();
    EXPECT_EQ(delivered.load(), reported.load());

    std::atomic<int> last{0};
    operation.Progress([&](const auto&, const int& value) { last = value; });
    RunOnNewThread([&] { completer.ReportProgress(42); });
    EXPECT_EQ(last, 42);
}

}  // namespace
