// Asynchronous operations: reference-counted handles over one shared state,
// coroutines that return them, co_await on them, and a completer through which
// a service finishes an operation it handed out.
//
// All of the tool's synchronisation lives here. Handlers are always called
// outside the state's lock.
#pragma once

#include <atomic>
#include <coroutine>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "platform/Error.h"

namespace platform {

enum class AsyncStatus : std::int32_t { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

template <typename T>
class IAsyncOperation;
template <typename T, typename P>
class IAsyncOperationWithProgress;

namespace detail {

struct NoProgress {};

template <typename T, typename P>
using HandleOf = std::conditional_t<std::is_same_v<P, NoProgress>, IAsyncOperation<T>, IAsyncOperationWithProgress<T, P>>;

// The one shared state behind every handle of an operation. T is a value type
// (the tool has no operation without a result).
//
// Handlers and callbacks are called, and dropped, outside the lock: a handler
// may resume a coroutine that touches this operation again, and dropping one
// may release the last completer of an operation, which then finishes it.
template <typename T, typename P>
class AsyncState : public std::enable_shared_from_this<AsyncState<T, P>> {
public:
    using Handle = HandleOf<T, P>;
    using CompletedHandler = std::function<void(const Handle&, AsyncStatus)>;
    using ProgressHandler = std::function<void(const Handle&, const P&)>;

    AsyncStatus Status() const noexcept { return m_status.load(std::memory_order_acquire); }

    hresult ErrorCode() const noexcept {
        std::lock_guard lock(m_lock);
        return m_errorCode;
    }

    void SetCompleted(CompletedHandler handler) {
        std::function<void()> onListened;
        AsyncStatus status;
        {
            std::lock_guard lock(m_lock);
            if (m_completedAssigned) {
                Throw(kIllegalDelegateAssignment);
            }
            m_completedAssigned = true;
            status = m_status.load(std::memory_order_relaxed);
            if (status == AsyncStatus::Started) {
                m_completed = std::move(handler);
                onListened = std::move(m_onListened);
            }
        }
        if (status == AsyncStatus::Started) {
            RunListened(onListened);
            return;
        }
        Invoke(handler, status);
    }

    void SetProgress(ProgressHandler handler) {
        auto shared = handler ? std::make_shared<const ProgressHandler>(std::move(handler)) : nullptr;
        {
            std::lock_guard lock(m_lock);
            if (Failed(m_refuseProgress)) {
                Throw(m_refuseProgress);
            }
            // A finished operation reports nothing more; keeping the handler
            // would only keep alive what it holds (often the operation itself).
            if (m_status.load(std::memory_order_relaxed) == AsyncStatus::Started) {
                m_progress.swap(shared);
            }
        }
        // `shared` now holds the replaced handler, dropped here outside the lock.
    }

    void RefuseProgressHandler(hresult code) {
        std::lock_guard lock(m_lock);
        m_refuseProgress = code;
    }

    void ReportProgress(const P& progress) {
        std::shared_ptr<const ProgressHandler> handler;
        {
            std::lock_guard lock(m_lock);
            if (m_status.load(std::memory_order_relaxed) != AsyncStatus::Started) {
                return;
            }
            handler = m_progress;
        }
        if (handler && *handler) {
            try {
                (*handler)(Handle(this->shared_from_this()), progress);
            } catch (...) {
                // A failing handler returns its code to the reporter, which goes on.
            }
        }
    }

    T GetResults() const {
        std::lock_guard lock(m_lock);
        switch (m_status.load(std::memory_order_relaxed)) {
            case AsyncStatus::Completed:
                return Result();
            case AsyncStatus::Canceled:
                Throw(kCancelled);
            case AsyncStatus::Error:
                if (m_result) {
                    return Result();  // a result delivered together with the Error status
                }
                // A new error for each caller: an exception object raised on
                // several threads at once would be shared between them.
                Throw(Failure{m_errorCode, m_errorInfo});
            case AsyncStatus::Started:
                break;
        }
        Throw(kIllegalMethodCall);
    }

    // Finishes the operation once; a later attempt is ignored (it lost to Cancel).
    // Returns whether this call finished it.
    bool Finish(AsyncStatus status, std::optional<T> result, hresult code, std::optional<ErrorInfo> info = {}) {
        CompletedHandler handler;
        std::shared_ptr<const ProgressHandler> progress;
        std::function<void()> onCancel;
        std::function<void()> onListened;
        {
            std::lock_guard lock(m_lock);
            if (m_status.load(std::memory_order_relaxed) != AsyncStatus::Started) {
                return false;
            }
            m_result = std::move(result);
            m_errorCode = code;
            m_errorInfo = std::move(info);
            handler = std::move(m_completed);
            progress = std::move(m_progress);
            onCancel = std::move(m_onCancel);
            onListened = std::move(m_onListened);
            m_status.store(status, std::memory_order_release);
        }
        Invoke(handler, status);
        return true;
    }

    void Cancel() {
        std::function<void()> onCancel;
        {
            std::lock_guard lock(m_lock);
            onCancel = std::move(m_onCancel);
        }
        if (onCancel) {
            onCancel();  // the owner may finish the operation on its own terms
        }
        Finish(AsyncStatus::Canceled, std::nullopt, kCancelled);
    }

    void OnCancel(std::function<void()> callback) {
        {
            std::lock_guard lock(m_lock);
            if (m_status.load(std::memory_order_relaxed) == AsyncStatus::Started) {
                m_onCancel.swap(callback);
            }
        }
        // `callback` holds the replaced one (or the refused one), dropped here.
    }

    // Runs the callback once a completion handler is registered: at once when
    // one already is; never when the operation finishes first.
    void OnListened(std::function<void()> callback) {
        std::function<void()> replaced;
        {
            std::lock_guard lock(m_lock);
            if (m_status.load(std::memory_order_relaxed) != AsyncStatus::Started) {
                return;
            }
            if (!m_completedAssigned) {
                replaced = std::exchange(m_onListened, std::move(callback));
                return;
            }
        }
        RunListened(callback);
    }

private:
    T Result() const { return *m_result; }

    // As on the home platform, a completion handler's failure goes back to its
    // caller, the operation, which has nothing to do with it. Letting it escape
    // would end the process when a coroutine finishes (that path is noexcept).
    void Invoke(const CompletedHandler& handler, AsyncStatus status) noexcept {
        if (!handler) {
            return;
        }
        try {
            handler(Handle(this->shared_from_this()), status);
        } catch (...) {
        }
    }

    // Called where the handler is already in place (inside co_await's
    // suspension, for one): a failure may not escape from there.
    static void RunListened(const std::function<void()>& callback) noexcept {
        if (!callback) {
            return;
        }
        try {
            callback();
        } catch (...) {
        }
    }

    mutable std::mutex m_lock;
    std::atomic<AsyncStatus> m_status{AsyncStatus::Started};
    std::optional<T> m_result;
    hresult m_errorCode = kOk;
    std::optional<ErrorInfo> m_errorInfo;
    bool m_completedAssigned = false;
    CompletedHandler m_completed;
    std::shared_ptr<const ProgressHandler> m_progress;
    std::function<void()> m_onCancel;
    std::function<void()> m_onListened;
    hresult m_refuseProgress = kOk;
};

// The members the two handle kinds share.
template <typename T, typename P>
class AsyncHandleBase {
public:
    using State = AsyncState<T, P>;
    using Handle = HandleOf<T, P>;

    AsyncHandleBase() = default;
    explicit AsyncHandleBase(std::shared_ptr<State> state) noexcept : m_state(std::move(state)) {}

    explicit operator bool() const noexcept { return m_state != nullptr; }

    AsyncStatus Status() const { return Get().Status(); }
    hresult ErrorCode() const { return Get().ErrorCode(); }
    void Completed(typename State::CompletedHandler handler) const { Get().SetCompleted(std::move(handler)); }
    T GetResults() const { return Get().GetResults(); }
    void Cancel() const { Get().Cancel(); }

    const std::shared_ptr<State>& SharedState() const noexcept { return m_state; }

    // co_await: no suspension when finished; afterwards Canceled raises
    // 0x800704C7 and anything else returns GetResults().
    auto operator co_await() const;

private:
    State& Get() const {
        if (!m_state) {
            Throw(kPointer);
        }
        return *m_state;
    }

    std::shared_ptr<State> m_state;
};

}  // namespace detail

template <typename T>
class IAsyncOperation : public detail::AsyncHandleBase<T, detail::NoProgress> {
public:
    using detail::AsyncHandleBase<T, detail::NoProgress>::AsyncHandleBase;
};

template <typename T, typename P>
class IAsyncOperationWithProgress : public detail::AsyncHandleBase<T, P> {
public:
    using detail::AsyncHandleBase<T, P>::AsyncHandleBase;

    void Progress(typename detail::AsyncState<T, P>::ProgressHandler handler) const {
        if (!this->SharedState()) {
            Throw(kPointer);
        }
        this->SharedState()->SetProgress(std::move(handler));
    }
};

// How a service makes an operation and later finishes it. Copies share one
// operation; when the last copy goes without finishing it, the operation ends
// with the Error status and E_ABORT, so no awaiter can hang on it.
template <typename T, typename P = detail::NoProgress>
class AsyncCompleter {
    using State = detail::AsyncState<T, P>;

public:
    AsyncCompleter() : m_core(std::make_shared<Core>()) {}

    detail::HandleOf<T, P> Operation() const { return detail::HandleOf<T, P>(m_core->state); }

    void ReportProgress(const P& progress) const
        requires(!std::is_same_v<P, detail::NoProgress>)
    {
        m_core->state->ReportProgress(progress);
    }

    bool Complete(T result) const {
        return m_core->state->Finish(AsyncStatus::Completed, std::move(result), kOk);
    }
    // The Error status together with a result, as deployment requests end.
    bool CompleteWithError(T result, hresult code) const {
        return m_core->state->Finish(AsyncStatus::Error, std::move(result), code);
    }
    bool Fail(hresult code) const { return m_core->state->Finish(AsyncStatus::Error, std::nullopt, code); }
    bool Cancel() const { return m_core->state->Finish(AsyncStatus::Canceled, std::nullopt, kCancelled); }

    // Called when a holder of the operation cancels it, before it is finished as Canceled.
    void OnCancel(std::function<void()> callback) const { m_core->state->OnCancel(std::move(callback)); }
    // Called once someone registers for the operation's completion (a Completed
    // handler or co_await), at once if someone already has; never if the
    // operation finishes first. A service can hold its work until then.
    void OnListened(std::function<void()> callback) const { m_core->state->OnListened(std::move(callback)); }
    bool IsCanceled() const { return m_core->state->Status() == AsyncStatus::Canceled; }
    // Makes Progress() on the operation raise the code (a platform that refuses the handler).
    void RefuseProgressHandler(hresult code) const { m_core->state->RefuseProgressHandler(code); }

private:
    struct Core {
        std::shared_ptr<State> state = std::make_shared<State>();
        Core() = default;
        Core(const Core&) = delete;
        Core& operator=(const Core&) = delete;
        ~Core() { state->Finish(AsyncStatus::Error, std::nullopt, kAbort); }
    };

    std::shared_ptr<Core> m_core;
};

namespace detail {

// co_await on a handle: continue at once when it has finished, otherwise resume
// on the thread that finishes it. One atomic flag decides who resumes, so the
// coroutine is never resumed inside the handler registration.
template <typename T, typename P>
class OperationAwaiter {
public:
    explicit OperationAwaiter(std::shared_ptr<AsyncState<T, P>> state) : m_state(std::move(state)) {
        if (!m_state) {
            Throw(kPointer);
        }
    }

    bool await_ready() const noexcept { return m_state->Status() != AsyncStatus::Started; }

    bool await_suspend(std::coroutine_handle<> awaiting) {
        m_state->SetCompleted([this, awaiting](const auto&, AsyncStatus) {
            if (!m_suspending.exchange(false, std::memory_order_acq_rel)) {
                awaiting.resume();
            }
        });
        return m_suspending.exchange(false, std::memory_order_acq_rel);
    }

    T await_resume() const {
        if (m_state->Status() == AsyncStatus::Canceled) {
            Throw(kCancelled);
        }
        return m_state->GetResults();
    }

private:
    std::shared_ptr<AsyncState<T, P>> m_state;
    std::atomic<bool> m_suspending{true};
};

struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <typename Promise>
    void await_suspend(std::coroutine_handle<Promise> self) noexcept {
        auto& promise = self.promise();
        auto state = promise.TakeState();
        auto result = promise.TakeResult();
        std::optional<Failure> failure = promise.TakeFailure();
        self.destroy();
        if (failure) {
            state->Finish(AsyncStatus::Error, std::nullopt, failure->code, std::move(failure->info));
        } else {
            state->Finish(AsyncStatus::Completed, std::move(result), kOk);
        }
    }
    void await_resume() noexcept {}
};

template <typename T, typename P>
auto AsyncHandleBase<T, P>::operator co_await() const {
    return OperationAwaiter<T, P>(m_state);
}

// Never suspends; it only reaches the awaiting coroutine's own operation.
template <typename P>
class ProgressReporterAwaiter {
public:
    bool await_ready() const noexcept { return false; }
    template <typename Promise>
    bool await_suspend(std::coroutine_handle<Promise> self) {
        m_report = [weak = self.promise().WeakState()](const P& progress) {
            if (auto state = weak.lock()) {
                state->ReportProgress(progress);
            }
        };
        return false;
    }
    std::function<void(const P&)> await_resume() { return std::move(m_report); }

private:
    std::function<void(const P&)> m_report;
};

template <typename T, typename P>
class PromiseBase {
public:
    using State = AsyncState<T, P>;
    using Handle = HandleOf<T, P>;

    Handle get_return_object() { return Handle(m_state); }
    std::suspend_never initial_suspend() noexcept { return {}; }

    // Only the failure's code and information outlive the handler: the
    // exception object itself stays on this thread.
    void unhandled_exception() noexcept { m_failure = CurrentFailure(); }

    // The coroutine's locals are gone by now; the frame goes too before the
    // operation finishes, so a continuation never sees it.
    FinalAwaiter final_suspend() noexcept { return {}; }

    // Moves the outcome out of the promise for the final awaiter.
    std::shared_ptr<State> TakeState() noexcept { return std::move(m_state); }
    std::optional<T> TakeResult() noexcept { return std::move(m_result); }
    std::optional<Failure> TakeFailure() noexcept { return std::move(m_failure); }
    std::weak_ptr<State> WeakState() const noexcept { return m_state; }

protected:
    std::shared_ptr<State> m_state = std::make_shared<State>();
    std::optional<T> m_result;
    std::optional<Failure> m_failure;
};

template <typename T, typename P>
class Promise : public PromiseBase<T, P> {
public:
    // Not a template, so that `co_return {};` and other braced values work.
    void return_value(T value) { this->m_result.emplace(std::move(value)); }
};

}  // namespace detail

// Inside a coroutine that returns an operation with progress:
//   auto report = co_await platform::GetProgressReporter<P>();  report(progress);
template <typename P>
detail::ProgressReporterAwaiter<P> GetProgressReporter() noexcept {
    return {};
}

}  // namespace platform

template <typename T, typename... Args>
struct std::coroutine_traits<platform::IAsyncOperation<T>, Args...> {
    using promise_type = platform::detail::Promise<T, platform::detail::NoProgress>;
};

template <typename T, typename P, typename... Args>
struct std::coroutine_traits<platform::IAsyncOperationWithProgress<T, P>, Args...> {
    using promise_type = platform::detail::Promise<T, P>;
};
