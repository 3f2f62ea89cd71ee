// Coroutines that return operations, and co_await on operations.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Apartment.h"
#include "platform/Async.h"
#include "platform/Error.h"
#include "platform/ThreadPool.h"
#include "platform/Wait.h"
#include "tests/support/Raised.h"
#include "tests/unit/platform/Waiting.h"

namespace {

using platform::AsyncCompleter;
using platform::AsyncStatus;
using platform::hresult;
using platform::IAsyncOperation;
using platform::IAsyncOperationWithProgress;
using platform::PlatformError;
using platform::WaitForStatus;
using platform_tests::RunOnNewThread;

// An operation that a worker thread completes with the value.
IAsyncOperation<int> CompletedOnPool(int value) {
    const AsyncCompleter<int> completer;
    platform::RunOnThreadPool([completer, value] { completer.Complete(value); });
    return completer.Operation();
}

struct Trace {
    std::thread::id started;
    std::thread::id resumed;
    bool resumedInsideCompletion = false;
};

IAsyncOperation<int> AwaitPlusOne(IAsyncOperation<int> operation, std::shared_ptr<Trace> trace) {
    trace->started = std::this_thread::get_id();
    const int value = co_await operation;
    trace->resumed = std::this_thread::get_id();
    co_return value + 1;
}

TEST(AsyncCoroutine, StartsAtOnceOnTheCallersThreadAndResumesOnTheCompletingOne) {
    const AsyncCompleter<int> completer;
    auto trace = std::make_shared<Trace>();
    const IAsyncOperation<int> operation = AwaitPlusOne(completer.Operation(), trace);

    EXPECT_EQ(trace->started, std::this_thread::get_id());
    EXPECT_EQ(operation.Status(), AsyncStatus::Started);
    EXPECT_EQ(trace->resumed, std::thread::id());

    const auto completing = RunOnNewThread([&] { completer.Complete(41); });
    EXPECT_EQ(trace->resumed, completing);
    EXPECT_EQ(operation.Status(), AsyncStatus::Completed);
    EXPECT_EQ(operation.GetResults(), 42);
}

TEST(AsyncCoroutine, AFinishedOperationIsAwaitedWithoutSuspending) {
    const AsyncCompleter<int> completer;
    completer.Complete(1);
    auto trace = std::make_shared<Trace>();
    const auto operation = AwaitPlusOne(completer.Operation(), trace);
    EXPECT_EQ(operation.Status(), AsyncStatus::Completed) << "ran to its end on this thread";
    EXPECT_EQ(trace->resumed, std::this_thread::get_id());
    EXPECT_EQ(operation.GetResults(), 2);
}

// The awaited operation finishes on the awaiting thread while the awaiter is
// still registering its handler: the coroutine goes on in that same call
// chain's caller, never inside the completion itself.
TEST(AsyncCoroutine, FinishingDuringRegistrationNeverResumesInsideIt) {
    const AsyncCompleter<int> completer;
    auto insideCompletion = std::make_shared<std::atomic<bool>>(false);
    completer.OnListened([completer, insideCompletion] {
        *insideCompletion = true;
        completer.Complete(1);
        *insideCompletion = false;
    });
    auto trace = std::make_shared<Trace>();
    const auto operation = [](IAsyncOperation<int> awaited, std::shared_ptr<Trace> trace,
                              std::shared_ptr<std::atomic<bool>> inside) -> IAsyncOperation<int> {
        const int value = co_await awaited;
        trace->resumed = std::this_thread::get_id();
        trace->resumedInsideCompletion = *inside;
        co_return value;
    }(completer.Operation(), trace, insideCompletion);

    EXPECT_EQ(operation.Status(), AsyncStatus::Completed);
    EXPECT_EQ(trace->resumed, std::this_thread::get_id());
    EXPECT_FALSE(trace->resumedInsideCompletion);
}

struct AwaitEndCase {
    const char* name;
    std::function<void(std::optional<AsyncCompleter<int>>&)> finish;
    hresult raised;  // kOk: the awaiter gets 5
};

class AwaitEndTest : public testing::TestWithParam<AwaitEndCase> {};

// After the wait a cancelled operation raises 0x800704C7 and anything else
// hands back GetResults(): a result (with the Error status too) or its error.
TEST_P(AwaitEndTest, RaisesOrReturnsWhatGetResultsSays) {
    std::optional<AsyncCompleter<int>> completer(std::in_place);
    auto raised = std::make_shared<hresult>(platform::kOk);
    const auto operation = [](IAsyncOperation<int> awaited, std::shared_ptr<hresult> raised) -> IAsyncOperation<int> {
        try {
            co_return co_await awaited;
        } catch (const PlatformError& error) {
            *raised = error.Code();
        }
        co_return -1;
    }(completer->Operation(), raised);

    RunOnNewThread([&] { GetParam().finish(completer); });
    ASSERT_EQ(operation.Status(), AsyncStatus::Completed);
    EXPECT_EQ(*raised, GetParam().raised);
    EXPECT_EQ(operation.GetResults(), GetParam().raised == platform::kOk ? 5 : -1);
}

INSTANTIATE_TEST_SUITE_P(
    Async, AwaitEndTest,
    testing::Values(AwaitEndCase{"Completed", [](auto& c) { c->Complete(5); }, platform::kOk},
                    AwaitEndCase{"ErrorWithResult", [](auto& c) { c->CompleteWithError(5, platform::kFail); },
                                 platform::kOk},
                    AwaitEndCase{"ErrorWithoutResult", [](auto& c) { c->Fail(platform::kAccessDenied); },
                                 platform::kAccessDenied},
                    AwaitEndCase{"Canceled", [](auto& c) { c->Cancel(); }, platform::kCancelled},
                    AwaitEndCase{"Abandoned", [](auto& c) { c.reset(); }, platform::kAbort}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AsyncCoroutine, AwaitingAnOperationWithACompletedHandlerRaises) {
    const AsyncCompleter<int> completer;
    completer.Operation().Completed([](const auto&, AsyncStatus) {});
    auto raised = std::make_shared<hresult>(platform::kOk);
    const auto operation = [](IAsyncOperation<int> awaited, std::shared_ptr<hresult> raised) -> IAsyncOperation<int> {
        try {
            co_await awaited;
        } catch (const PlatformError& error) {
            *raised = error.Code();
        }
        co_return 0;
    }(completer.Operation(), raised);
    EXPECT_EQ(operation.Status(), AsyncStatus::Completed);
    EXPECT_EQ(*raised, platform::kIllegalDelegateAssignment);
}

class CustomFailure : public std::runtime_error {
public:
    explicit CustomFailure(int detail) : std::runtime_error("custom failure"), m_detail(detail) {}
    int Detail() const { return m_detail; }

private:
    int m_detail;
};

IAsyncOperation<int> Failing(std::function<void()> raise, bool afterSuspension) {
    if (afterSuspension) {
        co_await CompletedOnPool(0);
    }
    raise();
    co_return 0;
}

struct FailureCase {
    const char* name;
    std::function<void()> raise;
    hresult code;
    std::function<void(const IAsyncOperation<int>&)> checkRaised;  // what GetResults raises
    bool afterSuspension;
};

class EscapingFailureTest : public testing::TestWithParam<FailureCase> {};

// A failure that escapes the coroutine ends its operation with the Error
// status and the failure's code; GetResults raises it again as the home
// platform does, from its code and error information.
TEST_P(EscapingFailureTest, EndsTheOperationWithItsCode) {
    const auto operation = Failing(GetParam().raise, GetParam().afterSuspension);
    EXPECT_EQ(WaitForStatus(operation), AsyncStatus::Error);
    EXPECT_EQ(operation.ErrorCode(), GetParam().code);
    GetParam().checkRaised(operation);
}

void ExpectPlatformErrorWithInfo(const IAsyncOperation<int>& operation) {
    const auto error = test_support::CaptureFailure([&] { operation.GetResults(); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Code(), platform::kAccessDenied);
    ASSERT_TRUE(error->Info().has_value());
    EXPECT_EQ(error->Info()->restrictedDescription, L"no entry");
}

platform::ErrorInfo Recorded(hresult code, std::wstring text) { return {code, std::nullopt, std::move(text)}; }

// GetResults raises a PlatformError with the code and exactly this information, or none.
void ExpectRaised(const IAsyncOperation<int>& operation, hresult code, const std::optional<platform::ErrorInfo>& info) {
    const auto error = test_support::CaptureFailure([&] { operation.GetResults(); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Code(), code);
    ASSERT_EQ(error->Info().has_value(), info.has_value());
    if (info) {
        EXPECT_EQ(error->Info()->code, info->code);
        EXPECT_EQ(error->Info()->description, info->description);
        EXPECT_EQ(error->Info()->restrictedDescription, info->restrictedDescription);
    }
}

void ExpectCustomFailureAsUnspecified(const IAsyncOperation<int>& operation) {
    ExpectRaised(operation, platform::kFail, Recorded(platform::kFail, L"custom failure"));
}

const FailureCase kFailures[] = {
    {"PlatformErrorAtOnce", [] { platform::Throw(platform::kAccessDenied, L"no entry"); }, platform::kAccessDenied,
     ExpectPlatformErrorWithInfo, false},
    {"PlatformErrorLater", [] { platform::Throw(platform::kAccessDenied, L"no entry"); }, platform::kAccessDenied,
     ExpectPlatformErrorWithInfo, true},
    {"OutOfMemoryAtOnce", [] { throw std::bad_alloc(); }, platform::kOutOfMemory,
     [](const auto& op) { EXPECT_THROW(op.GetResults(), std::bad_alloc); }, false},
    {"OutOfMemoryLater", [] { throw std::bad_alloc(); }, platform::kOutOfMemory,
     [](const auto& op) { EXPECT_THROW(op.GetResults(), std::bad_alloc); }, true},
    {"OtherAtOnce", [] { throw CustomFailure(17); }, platform::kFail, ExpectCustomFailureAsUnspecified, false},
    {"OtherLater", [] { throw CustomFailure(17); }, platform::kFail, ExpectCustomFailureAsUnspecified, true},
    {"NotAnExceptionType", [] { throw 5; }, platform::kFail,
     [](const auto& op) { ExpectRaised(op, platform::kFail, std::nullopt); }, true},
};

INSTANTIATE_TEST_SUITE_P(Async, EscapingFailureTest, testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

struct BoundaryCase {
    const char* name;
    std::function<void()> raise;
    hresult code;
    std::optional<platform::ErrorInfo> info;  // what the raised PlatformError carries
};

class ExceptionAtTheBoundaryTest : public testing::TestWithParam<BoundaryCase> {};

// The exception kinds the home platform's runtime turns into codes, each with
// the text a reader of the error gets.
TEST_P(ExceptionAtTheBoundaryTest, BecomesTheHomePlatformsCodeAndText) {
    const BoundaryCase& c = GetParam();
    const auto operation = Failing(c.raise, true);
    EXPECT_EQ(WaitForStatus(operation), AsyncStatus::Error);
    EXPECT_EQ(operation.ErrorCode(), c.code);
    ExpectRaised(operation, c.code, c.info);
    ExpectRaised(operation, c.code, c.info);  // raised afresh, the same again
}

const BoundaryCase kBoundaryCases[] = {
    {"OutOfRange", [] { throw std::out_of_range("index 7"); }, platform::kBounds,
     Recorded(platform::kBounds, L"index 7")},
    {"InvalidArgument", [] { throw std::invalid_argument("no name"); }, platform::kInvalidArgument,
     Recorded(platform::kInvalidArgument, L"no name")},
    {"TextReadAsUtf8", [] { throw std::runtime_error("caf\xc3\xa9 \xff!"); }, platform::kFail,
     Recorded(platform::kFail, L"caf\u00e9 \uFFFD!")},
    {"PlatformErrorWithoutInformation", [] { throw PlatformError(platform::kNotFound); }, platform::kNotFound,
     std::nullopt},
    {"PlatformErrorWithInformationForAnotherCode",
     [] { throw PlatformError(platform::kAccessDenied, {platform::kFail, L"described", L"restricted"}); },
     platform::kAccessDenied, platform::ErrorInfo{platform::kFail, L"described", L"restricted"}},
};

INSTANTIATE_TEST_SUITE_P(Async, ExceptionAtTheBoundaryTest, testing::ValuesIn(kBoundaryCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AsyncCoroutine, AnAwaiterReceivesTheFailuresCodeAndText) {
    auto raised = std::make_shared<std::optional<PlatformError>>();
    const auto operation = [](std::shared_ptr<std::optional<PlatformError>> raised) -> IAsyncOperation<int> {
        try {
            co_await Failing([] { throw CustomFailure(23); }, true);
        } catch (const PlatformError& error) {
            *raised = error;
        }
        co_return 1;
    }(raised);
    EXPECT_EQ(WaitForStatus(operation), AsyncStatus::Completed);
    ASSERT_TRUE(raised->has_value());
    EXPECT_EQ((*raised)->Code(), platform::kFail);
    ASSERT_TRUE((*raised)->Info().has_value());
    EXPECT_EQ((*raised)->Info()->restrictedDescription, L"custom failure");
}

// Marks a flag when destroyed (a moved-from witness marks nothing).
class Witness {
public:
    explicit Witness(std::shared_ptr<std::atomic<bool>> gone) : m_gone(std::move(gone)) {}
    Witness(Witness&& other) noexcept = default;
    ~Witness() {
        if (m_gone) {
            *m_gone = true;
        }
    }

private:
    std::shared_ptr<std::atomic<bool>> m_gone;
};

IAsyncOperation<int> WithLocals([[maybe_unused]] Witness parameter, std::shared_ptr<std::atomic<bool>> localGone,
                                IAsyncOperation<int> gate) {
    const Witness local(std::move(localGone));
    co_await gate;
    co_return 3;
}

// The handler is registered while the coroutine still waits, so it runs at
// the very moment the operation finishes: by then the coroutine's frame, with
// its locals and its copies of the parameters, must be gone.
TEST(AsyncCoroutine, LocalsAndParametersAreGoneBeforeTheOperationFinishes) {
    auto parameterGone = std::make_shared<std::atomic<bool>>(false);
    auto localGone = std::make_shared<std::atomic<bool>>(false);
    const AsyncCompleter<int> gate;
    const auto operation = WithLocals(Witness(parameterGone), localGone, gate.Operation());
    ASSERT_FALSE(*parameterGone);
    ASSERT_FALSE(*localGone);
    std::atomic<bool> parameterGoneAtEnd{false};
    std::atomic<bool> localGoneAtEnd{false};
    operation.Completed([&](const auto&, AsyncStatus) {
        parameterGoneAtEnd = parameterGone->load();
        localGoneAtEnd = localGone->load();
    });
    RunOnNewThread([&] { gate.Complete(0); });
    EXPECT_EQ(operation.Status(), AsyncStatus::Completed);
    EXPECT_TRUE(parameterGoneAtEnd);
    EXPECT_TRUE(localGoneAtEnd);
}

// Each level awaits the one below, then an operation a worker completes, so
// the chain hops between threads at every level on the way back up.
IAsyncOperation<int> Chain(int depth) {
    if (depth == 0) {
        co_return co_await CompletedOnPool(1);
    }
    const int below = co_await Chain(depth - 1);
    const int here = co_await CompletedOnPool(1);
    co_return below + here;
}

TEST(AsyncCoroutine, AChainAwaitsAcrossThreads) {
    const auto operation = Chain(40);
    EXPECT_EQ(WaitForStatus(operation), AsyncStatus::Completed);
    EXPECT_EQ(operation.GetResults(), 41);
}

TEST(AsyncCoroutine, ProgressReportedByTheCoroutineReachesTheHandler) {
    const AsyncCompleter<int> gate;
    const auto operation = [](IAsyncOperation<int> gate) -> IAsyncOperationWithProgress<int, int> {
        auto report = co_await platform::GetProgressReporter<int>();
        co_await gate;
        report(1);
        report(2);
        co_return 3;
    }(gate.Operation());

    std::vector<int> seen;
    operation.Progress([&](const auto&, const int& value) { seen.push_back(value); });
    std::vector<int> seenAtEnd;
    operation.Completed([&](const auto&, AsyncStatus) { seenAtEnd = seen; });
    RunOnNewThread([&] { gate.Complete(0); });
    EXPECT_EQ(seenAtEnd, (std::vector<int>{1, 2}));
    EXPECT_EQ(operation.GetResults(), 3);
}

TEST(AsyncCoroutine, CancelEndsTheOperationAndALaterReturnIsIgnored) {
    const AsyncCompleter<int> inner;
    const auto operation = [](IAsyncOperation<int> inner) -> IAsyncOperation<int> {
        co_return co_await inner;
    }(inner.Operation());
    operation.Cancel();
    EXPECT_EQ(operation.Status(), AsyncStatus::Canceled);
    inner.Complete(1);  // the coroutine runs on to its end
    EXPECT_EQ(operation.Status(), AsyncStatus::Canceled);
    EXPECT_EQ(operation.ErrorCode(), platform::kCancelled);
}

// Completion races the awaiter's registration many times over; every awaiter
// resumes exactly once, with the right value, and nothing is touched after
// it is gone (the sanitizer builds watch for that).
TEST(AsyncStress, CompletionRacesRegistration) {
    const int rounds = platform_tests::kUnderThreadSanitizer ? 4000 : 20000;
    std::vector<std::atomic<int>> calls(static_cast<std::size_t>(rounds));
    std::atomic<int> finished{0};
    std::atomic<int> wrong{0};
    platform::Event allDone;
    for (int i = 0; i < rounds; ++i) {
        const auto trace = std::make_shared<Trace>();
        IAsyncOperation<int> outer;
        if (i % 2 == 0) {
            outer = AwaitPlusOne(CompletedOnPool(i), trace);
        } else {
            // A plain handler registration races the completion as well.
            const AsyncCompleter<int> completer;
            platform::RunOnThreadPool([completer, i] { completer.Complete(i - 1); });
            outer = completer.Operation();
        }
        outer.Completed([&, i](const IAsyncOperation<int>& sender, AsyncStatus status) {
            if (status != AsyncStatus::Completed || sender.GetResults() != i + (i % 2 == 0 ? 1 : -1)) {
                ++wrong;
            }
            ++calls[static_cast<std::size_t>(i)];
            if (++finished == rounds) {
                allDone.Set();
            }
        });
    }
    allDone.Wait();
    EXPECT_EQ(wrong, 0);
    for (int i = 0; i < rounds; ++i) {
        ASSERT_EQ(calls[static_cast<std::size_t>(i)], 1) << "round " << i;
    }
}

// One thread finishes each operation the moment the test publishes it, while
// the test is already on its way into co_await.
TEST(AsyncStress, AwaitersRaceAThreadThatFinishesRightAway) {
    const int rounds = platform_tests::kUnderThreadSanitizer ? 3000 : 10000;
    std::vector<AsyncCompleter<int>> completers(static_cast<std::size_t>(rounds));
    std::atomic<int> published{-1};
    std::thread finisher([&] {
        for (int i = 0; i < rounds; ++i) {
            while (published.load(std::memory_order_acquire) < i) {
                std::this_thread::yield();
            }
            completers[static_cast<std::size_t>(i)].Complete(1);
        }
    });
    std::atomic<int> sum{0};
    std::vector<IAsyncOperation<int>> operations;
    operations.reserve(completers.size());
    for (int i = 0; i < rounds; ++i) {
        const auto awaited = completers[static_cast<std::size_t>(i)].Operation();
        published.store(i, std::memory_order_release);
        operations.push_back([](IAsyncOperation<int> awaited, std::atomic<int>& sum) -> IAsyncOperation<int> {
            sum += co_await awaited;
            co_return 0;
        }(awaited, sum));
    }
    finisher.join();
    // Each coroutine ended inside its Complete() call or before it returned.
    for (const auto& operation : operations) {
        ASSERT_EQ(operation.Status(), AsyncStatus::Completed);
    }
    EXPECT_EQ(sum, rounds);
}

}  // namespace
