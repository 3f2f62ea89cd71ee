// Blocking helpers for the runtime tests: wait for an operation, finish one
// from another thread.
#pragma once

#include <memory>
#include <thread>
#include <utility>

#include "platform/Apartment.h"
#include "platform/Async.h"

namespace platform_tests {

// Blocks until the operation finishes; returns its final status.
template <typename Operation>
platform::AsyncStatus WaitFor(const Operation& operation) {
    auto done = std::make_shared<platform::Event>();
    operation.Completed([done](const auto&, platform::AsyncStatus) { done->Set(); });
    done->Wait();
    return operation.Status();
}

// Runs the action on a new thread and returns that thread's id once it ran.
template <typename Action>
std::thread::id RunOnNewThread(Action&& action) {
    std::thread::id id;
    std::thread thread([&] {
        id = std::this_thread::get_id();
        std::forward<Action>(action)();
    });
    thread.join();
    return id;
}

#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

}  // namespace platform_tests
