// Joining the multithreaded apartment, and the event the entry blocks on.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/Error.h"

namespace platform {

// Makes the calling thread a member of the process's multithreaded apartment.
// Returns a result code; negative on failure.
hresult InitializeApartment() noexcept;

// A manual-reset event: once Set, every Wait returns at once.
class Event {
public:
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Wait();  // no time-out

private:
    std::mutex m_lock;
    std::condition_variable m_signalled;
    bool m_set = false;
};

}  // namespace platform
