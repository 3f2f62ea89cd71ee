#include "platform/deployment/local/store/RequestRunner.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <utility>

#include "platform/Guid.h"
#include "platform/ThreadPool.h"
#include "platform/Utf8.h"
#include "platform/VisibleText.h"

namespace platform::deployment::local {
void ProgressReporter::Report(std::uint32_t percentage) {
    if (m_last && percentage <= *m_last) {
        return;
    }
    m_last = percentage;
    m_completer.ReportProgress(DeploymentProgress{DeploymentProgressState::Processing, percentage});
}

void ProgressReporter::Report(std::uint32_t from, std::uint32_t to, double share) {
    Report(from + static_cast<std::uint32_t>((to - from) * std::clamp(share, 0.0, 1.0)));
}

DeploymentOperation StartRequest(RequestWork work) {
    ProgressReporter::Completer completer;
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    completer.OnCancel([cancelled] { cancelled->store(true); });
    DeploymentOperation operation = completer.Operation();
    RunOnThreadPool([completer, cancelled, work = std::move(work), activityId = Guid::NewRandom()] {
        // Whatever a failure's text took in from outside, it reaches the caller visible.
        const auto fail = [&](hresult code, const std::wstring& text, hresult extendedCode) {
            completer.CompleteWithError(DeploymentResult(activityId, false, extendedCode, VisibleText(text)), code);
        };
        try {
            ProgressReporter progress(completer);
            progress.Report(0);
            const bool registered = work(progress, *cancelled);
            progress.Report(100);
            completer.Complete(DeploymentResult(activityId, registered, kOk, {}));
        } catch (const std::bad_alloc&) {
            completer.Fail(kOutOfMemory);
        } catch (const DeploymentFailure& error) {
            fail(error.Code(), ErrorText(error), error.ExtendedCode());
        } catch (const PlatformError& error) {
            fail(error.Code(), ErrorText(error), error.Code());
        } catch (const std::exception& error) {
            fail(kFail, L"The request failed: " + FromUtf8Lossy(error.what()), kFail);
        } catch (...) {
            fail(kFail, SystemMessage(kFail), kFail);
        }
    });
    return operation;
}

DeploymentOperation StartChange(std::function<void()> change) {
    return StartRequest([change = std::move(change)](ProgressReporter&, const std::atomic<bool>&) {
        change();
        return false;
    });
}

}  // namespace platform::deployment::local
