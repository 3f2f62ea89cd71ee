#include "platform/ThreadPool.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {
namespace {

class ThreadPool {
public:
    ThreadPool() {
        const unsigned count = std::clamp(std::thread::hardware_concurrency(), 2u, 8u);
        try {
            for (unsigned i = 0; i < count; ++i) {
                m_workers.emplace_back([this] { Work(); });
            }
        } catch (...) {
            Stop();  // a joinable thread must not be destroyed
            throw;
        }
    }

    // At exit: queued work is dropped, running work is finished, then the
    // workers are joined, so nothing runs while the process tears down.
    ~ThreadPool() { Stop(); }

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    void Submit(std::function<void()> work) {
        std::lock_guard lock(m_lock);
        if (m_stopping) {
            return;  // the work is dropped once the lock is released
        }
        m_queue.push_back(std::move(work));
        // Under the lock: the work may end the process, and with it the pool,
        // before a notification made after unlocking would be done.
        m_wake.notify_one();
    }

private:
    void Stop() {
        std::deque<std::function<void()>> dropped;
        {
            std::lock_guard lock(m_lock);
            m_stopping = true;
            dropped.swap(m_queue);
        }
        m_wake.notify_all();
        for (auto& worker : m_workers) {
            // The process may be ended from a piece of work; that worker
            // cannot wait for itself and is simply left to the exit.
            if (worker.get_id() == std::this_thread::get_id()) {
                worker.detach();
            } else if (worker.joinable()) {
                worker.join();
            }
        }
        // Dropped work releases what it holds only now, with no lock taken and
        // no worker left: an abandoned operation may finish here and resume
        // its awaiter on this thread.
        dropped.clear();
    }

    void Work() {
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(m_lock);
                m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
                if (m_stopping) {
                    return;
                }
                work = std::move(m_queue.front());
                m_queue.pop_front();
            }
            try {
                work();
            } catch (...) {
                // Work reports its own failures through the operation it serves.
            }
        }
    }

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_queue;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
};

ThreadPool& Pool() {
    static ThreadPool pool;
    return pool;
}

}  // namespace

void RunOnThreadPool(std::function<void()> work) { Pool().Submit(std::move(work)); }

}  // namespace platform
