#include "platform/Apartment.h"

namespace platform {

// Every thread of this runtime is in the one multithreaded apartment.
hresult InitializeApartment() noexcept { return kOk; }

void Event::Set() {
    {
        std::lock_guard lock(m_lock);
        m_set = true;
    }
    m_signalled.notify_all();
}

void Event::Wait() {
    std::unique_lock lock(m_lock);
    m_signalled.wait(lock, [this] { return m_set; });
}

}  // namespace platform
