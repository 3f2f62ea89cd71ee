// Helpers for the runtime tests: run an action on a thread of its own, and
// whether ThreadSanitizer watches.
#pragma once

#include <thread>
#include <utility>

namespace platform_tests {

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
