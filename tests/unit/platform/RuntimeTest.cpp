// The event, the worker threads, GUIDs, service activation, and the way the
// process ends while workers are still busy.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Apartment.h"
#include "platform/Async.h"
#include "platform/Guid.h"
#include "platform/ThreadPool.h"
#include "platform/deployment/PackageManager.h"
#include "tests/support/Raised.h"
#include "tests/support/ScriptedPackageManager.h"

namespace {

using platform::AsyncCompleter;
using platform::AsyncStatus;
using platform::Event;
using platform::IAsyncOperation;

TEST(Apartment, InitializeSucceeds) { EXPECT_FALSE(platform::Failed(platform::InitializeApartment())); }

TEST(Event, WaitReturnsOnceSetFromAnotherThread) {
    for (int round = 0; round < 200; ++round) {
        // The waiter owns the event and destroys it as soon as Wait returns.
        auto event = std::make_unique<Event>();
        std::atomic<bool> setDone{false};
        std::thread setter([&, raw = event.get()] {
            raw->Set();
            setDone = true;
        });
        event->Wait();
        event.reset();
        setter.join();
        EXPECT_TRUE(setDone);
    }
}

TEST(Event, StaysSet) {
    Event event;
    event.Set();
    event.Wait();
    event.Wait();
    event.Set();
    event.Wait();
}

TEST(ThreadPool, RunsWorkOnOtherThreadsAndSurvivesFailingWork) {
    constexpr int kItems = 64;
    std::mutex lock;
    std::set<std::thread::id> threads;
    std::atomic<int> done{0};
    Event allDone;
    for (int i = 0; i < kItems; ++i) {
        platform::RunOnThreadPool([&, i] {
            {
                std::lock_guard guard(lock);
                threads.insert(std::this_thread::get_id());
            }
            const bool last = ++done == kItems;
            if (last) {
                allDone.Set();
            }
            if (i % 3 == 0 && !last) {
                throw std::runtime_error("work that fails");
            }
        });
    }
    allDone.Wait();
    std::lock_guard guard(lock);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    EXPECT_GE(threads.size(), 1u);
}

TEST(ThreadPool, WorkMayQueueMoreWork) {
    Event done;
    platform::RunOnThreadPool([&] { platform::RunOnThreadPool([&] { done.Set(); }); });
    done.Wait();
}

TEST(Guid, NewRandomIsVersion4WithTheStandardVariant) {
    std::set<std::tuple<std::uint32_t, std::uint16_t, std::uint16_t, std::array<std::uint8_t, 8>>> seen;
    for (int i = 0; i < 1000; ++i) {
        const platform::Guid guid = platform::Guid::NewRandom();
        EXPECT_EQ(guid.Data3 >> 12, 4);
        EXPECT_EQ(guid.Data4[0] & 0xC0, 0x80);
        seen.emplace(guid.Data1, guid.Data2, guid.Data3, guid.Data4);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(Guid, ThreadsDrawDifferentSequences) {
    platform::Guid first;
    platform::Guid second;
    std::thread a([&] { first = platform::Guid::NewRandom(); });
    std::thread b([&] { second = platform::Guid::NewRandom(); });
    a.join();
    b.join();
    EXPECT_NE(first, second);
}

using platform::deployment::IPackageManager;
using platform::deployment::PackageManager;
using platform::deployment::ScopedPackageManagerActivation;

platform::hresult ActivationCode() {
    return test_support::CodeOf([] { PackageManager manager; });
}

TEST(Activation, WithoutAnImplementationRaisesClassNotRegistered) {
    EXPECT_EQ(ActivationCode(), platform::kClassNotRegistered);
}

TEST(Activation, AFactoryWithoutAnObjectRaisesClassNotRegistered) {
    const ScopedPackageManagerActivation activation([] { return std::shared_ptr<IPackageManager>(); });
    EXPECT_EQ(ActivationCode(), platform::kClassNotRegistered);
}

TEST(Activation, AFailingFactoryRaisesItsOwnError) {
    const ScopedPackageManagerActivation activation([]() -> std::shared_ptr<IPackageManager> {
        platform::Throw(platform::kAccessDenied);
    });
    EXPECT_EQ(ActivationCode(), platform::kAccessDenied);
}

TEST(Activation, GuardsInstallAndRestoreInTurn) {
    {
        const test_support::ScopedScriptedService outer;
        EXPECT_EQ(ActivationCode(), platform::kOk);
        {
            const test_support::ScopedScriptedService inner;
            PackageManager manager;
            manager.ProvisionPackageForAllUsersAsync(L"Inner_family");
            EXPECT_EQ(inner.Activations(), 1);
            EXPECT_EQ(outer.Activations(), 1);
            EXPECT_EQ(inner.SharedService()->CallNames().size(), 1u);
            EXPECT_EQ(outer.SharedService()->CallNames().size(), 0u);
        }
        PackageManager manager;
        EXPECT_EQ(outer.Activations(), 2);
        manager.ProvisionPackageForAllUsersAsync(L"Outer_family");
        EXPECT_EQ(outer.SharedService()->CallNames().size(), 1u);
    }
    EXPECT_EQ(ActivationCode(), platform::kClassNotRegistered);
}

TEST(Activation, AHandleOutlivesTheGuard) {
    std::optional<PackageManager> manager;
    std::weak_ptr<test_support::ScriptedPackageManager> service;
    {
        const test_support::ScopedScriptedService guard;
        service = guard.SharedService();
        manager.emplace();
    }
    EXPECT_FALSE(service.expired());
    EXPECT_NO_THROW(manager->GetDefaultPackageVolume());
    manager.reset();
    EXPECT_TRUE(service.expired());
}

// The process ends while workers still run work and hold operations that
// coroutines await, and while more work is queued: it must end at once, with
// nothing used after it is freed (the sanitizers would fail the exit status).
void EndWhileWorkersAreBusy() {
    std::vector<IAsyncOperation<int>> awaiting;
    for (int i = 0; i < 32; ++i) {
        const AsyncCompleter<int> completer;
        platform::RunOnThreadPool([completer] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            completer.Complete(1);
        });
        awaiting.push_back([](IAsyncOperation<int> inner) -> IAsyncOperation<int> {
            co_return co_await inner + 1;
        }(completer.Operation()));
    }
    // Deliberately leaves `awaiting` and the queue behind.
    std::exit(0);
}

TEST(ProcessExit, EndsCleanlyWhileWorkersHoldOperations) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(EndWhileWorkersAreBusy(), testing::ExitedWithCode(0), "");
}

TEST(ProcessExit, EndsCleanlyWhenWorkEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            platform::RunOnThreadPool([] { std::exit(0); });
            Event never;
            never.Wait();
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
