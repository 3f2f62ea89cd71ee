#include "platform/Apartment.h"

namespace platform {

// Every thread of this runtime is in the one multithreaded apartment.
hresult InitializeApartment() noexcept { return kOk; }

void Event::Set() {
    // Notified under the lock: a waiter that returns may destroy the event at
    // once (it usually lives on the waiter's stack), so nothing here may touch
    // it after the lock is released.
    std::lock_guard lock(m_lock);
    m_set = true;
    m_signalled.notify_all();
}

void Event::Wait() {
    std::unique_lock lock(m_lock);
    m_signalled.wait(lock, [this] { return m_set; });
}

}  // namespace platform
