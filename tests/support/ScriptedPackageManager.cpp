#include "tests/support/ScriptedPackageManager.h"

#include <array>
#include <stdexcept>
#include <utility>

#include "platform/Async.h"
#include "platform/ThreadPool.h"

namespace test_support {

using platform::AsyncCompleter;
using platform::deployment::AddPackageByAppInstallerOptions;
using platform::deployment::DeploymentOperation;
using platform::deployment::DeploymentProgress;
using platform::deployment::DeploymentProgressState;
using platform::deployment::DeploymentResult;
using platform::deployment::Package;
using platform::deployment::PackageCollection;
using platform::deployment::PackageId;
using platform::deployment::PackageVolume;
using platform::deployment::RemovalOptions;

namespace {

using Completer = AsyncCompleter<DeploymentResult, DeploymentProgress>;

constexpr std::array<const wchar_t*, 4> kRequestOperations{
    L"AddPackageByAppInstallerFileAsync", L"ProvisionPackageForAllUsersAsync",
    L"DeprovisionPackageForAllUsersAsync", L"RemovePackageWithOptionsAsync"};
constexpr std::array<const wchar_t*, 2> kLookupOperations{L"FindPackagesByPackageFamilyName",
                                                          L"FindPackagesByUserSecurityIdPackageFamilyName"};

template <std::size_t N>
void RequireKnown(const std::array<const wchar_t*, N>& known, const std::wstring& operation) {
    for (const wchar_t* name : known) {
        if (operation == name) {
            return;
        }
    }
    throw std::invalid_argument("not a scripted operation of the package manager");
}

// The progress reports, then the end, as the request was scripted.
void Play(const Completer& completer, const ScriptedRequest& request) {
    for (const std::uint32_t percentage : request.progress) {
        completer.ReportProgress(DeploymentProgress{DeploymentProgressState::Processing, percentage});
    }
    DeploymentResult result(request.activityId, request.isRegistered, request.extendedErrorCode, request.errorText);
    switch (request.end) {
        case ScriptedRequest::End::Completed:
            completer.Complete(std::move(result));
            break;
        case ScriptedRequest::End::Error:
            completer.CompleteWithError(std::move(result), request.errorCode);
            break;
        case ScriptedRequest::End::Canceled:
            completer.Cancel();
            break;
        case ScriptedRequest::End::Fail:
            completer.Fail(request.errorCode);
            break;
    }
}

}  // namespace

void ScriptedGate::Open() {
    std::vector<std::function<void()>> waiting;
    {
        std::lock_guard lock(m_lock);
        m_open = true;
        waiting.swap(m_waiting);
    }
    for (auto& continuation : waiting) {
        continuation();
    }
}

bool ScriptedGate::IsOpen() const {
    std::lock_guard lock(m_lock);
    return m_open;
}

void ScriptedGate::WhenOpen(std::function<void()> continuation) {
    {
        std::lock_guard lock(m_lock);
        if (!m_open) {
            m_waiting.push_back(std::move(continuation));
            return;
        }
    }
    continuation();
}

// The worker of a request that waits for its first listener. The operation's
// state refers to it only weakly: holding the completer from there would keep
// the operation alive, unfinished, for as long as it exists.
struct ScriptedPackageManager::Waiting {
    std::mutex lock;
    std::function<void()> work;

    std::function<void()> Take() {
        std::lock_guard guard(lock);
        return std::exchange(work, nullptr);
    }
};

ScriptedPackageManager::~ScriptedPackageManager() {
    std::vector<std::shared_ptr<Waiting>> waiting;
    {
        std::lock_guard lock(m_lock);
        waiting.swap(m_waiting);
    }
    // Dropping them drops their completers, which end their operations.
    waiting.clear();
}

void ScriptedPackageManager::Script(const std::wstring& operation, ScriptedRequest request) {
    RequireKnown(kRequestOperations, operation);
    std::lock_guard lock(m_lock);
    m_requests[operation].push_back(std::move(request));
}

void ScriptedPackageManager::ScriptVolume(std::optional<platform::hresult> raise, std::wstring name) {
    std::lock_guard lock(m_lock);
    m_volumeRaise = raise;
    m_volumeName = std::move(name);
}

void ScriptedPackageManager::ScriptLookup(const std::wstring& operation, std::vector<std::wstring> fullNames) {
    RequireKnown(kLookupOperations, operation);
    std::lock_guard lock(m_lock);
    m_lookups[operation].push_back(Lookup{std::nullopt, std::move(fullNames)});
}

void ScriptedPackageManager::ScriptLookupFailure(const std::wstring& operation, platform::hresult code) {
    RequireKnown(kLookupOperations, operation);
    std::lock_guard lock(m_lock);
    m_lookups[operation].push_back(Lookup{code, {}});
}

std::vector<ScriptedCall> ScriptedPackageManager::Calls() const {
    std::lock_guard lock(m_lock);
    return m_calls;
}

std::vector<std::wstring> ScriptedPackageManager::CallNames() const {
    std::lock_guard lock(m_lock);
    std::vector<std::wstring> names;
    names.reserve(m_calls.size());
    for (const auto& call : m_calls) {
        names.push_back(call.operation);
    }
    return names;
}

PackageVolume ScriptedPackageManager::GetDefaultPackageVolume() {
    std::optional<platform::hresult> raise;
    std::wstring name;
    {
        std::lock_guard lock(m_lock);
        m_calls.push_back(ScriptedCall{L"GetDefaultPackageVolume", {}, 0, {}, {}});
        raise = m_volumeRaise;
        name = m_volumeName;
    }
    if (raise) {
        platform::Throw(*raise);
    }
    return PackageVolume(std::move(name));
}

DeploymentOperation ScriptedPackageManager::AddPackageByAppInstallerFileAsync(
    const platform::Uri& appInstallerFileUri, AddPackageByAppInstallerOptions options,
    const PackageVolume& targetVolume) {
    return StartRequest(ScriptedCall{L"AddPackageByAppInstallerFileAsync", appInstallerFileUri.RawUri(),
                                     static_cast<std::uint32_t>(options), targetVolume.Name(), {}});
}

DeploymentOperation ScriptedPackageManager::ProvisionPackageForAllUsersAsync(const std::wstring& packageFamilyName) {
    return StartRequest(ScriptedCall{L"ProvisionPackageForAllUsersAsync", packageFamilyName, 0, {}, {}});
}

DeploymentOperation ScriptedPackageManager::DeprovisionPackageForAllUsersAsync(
    const std::wstring& packageFamilyName) {
    return StartRequest(ScriptedCall{L"DeprovisionPackageForAllUsersAsync", packageFamilyName, 0, {}, {}});
}

PackageCollection ScriptedPackageManager::FindPackagesByPackageFamilyName(const std::wstring& packageFamilyName) {
    return FindPackages(ScriptedCall{L"FindPackagesByPackageFamilyName", packageFamilyName, 0, {}, {}},
                        packageFamilyName);
}

PackageCollection ScriptedPackageManager::FindPackagesByUserSecurityIdPackageFamilyName(
    const std::wstring& userSecurityId, const std::wstring& packageFamilyName) {
    return FindPackages(
        ScriptedCall{L"FindPackagesByUserSecurityIdPackageFamilyName", packageFamilyName, 0, {}, userSecurityId},
        packageFamilyName);
}

DeploymentOperation ScriptedPackageManager::RemovePackageWithOptionsAsync(const std::wstring& packageFullName,
                                                                         RemovalOptions options) {
    return StartRequest(ScriptedCall{L"RemovePackageWithOptionsAsync", packageFullName,
                                     static_cast<std::uint32_t>(options), {}, {}});
}

PackageCollection ScriptedPackageManager::FindPackages(ScriptedCall call, const std::wstring& familyName) {
    Lookup lookup;
    {
        std::lock_guard lock(m_lock);
        auto& queue = m_lookups[call.operation];
        m_calls.push_back(std::move(call));
        if (!queue.empty()) {
            lookup = std::move(queue.front());
            queue.pop_front();
        }
    }
    if (lookup.failure) {
        platform::Throw(*lookup.failure);
    }
    PackageCollection packages;
    for (auto& fullName : lookup.fullNames) {
        packages.emplace_back(PackageId(std::move(fullName), familyName));
    }
    return packages;
}

DeploymentOperation ScriptedPackageManager::StartRequest(ScriptedCall call) {
    ScriptedRequest request;
    {
        std::lock_guard lock(m_lock);
        auto& queue = m_requests[call.operation];
        m_calls.push_back(std::move(call));
        if (!queue.empty()) {
            request = std::move(queue.front());
            queue.pop_front();
        }
    }
    if (request.raiseAtCall) {
        platform::Throw(*request.raiseAtCall);
    }

    const Completer completer;
    if (request.refuseProgressHandler) {
        completer.RefuseProgressHandler(*request.refuseProgressHandler);
    }
    DeploymentOperation operation = completer.Operation();
    if (request.finishedAtReturn) {
        Play(completer, request);
        return operation;
    }

    // The gate must not travel with the work it holds back: the gate would
    // then own itself and never let the request go.
    const std::shared_ptr<ScriptedGate> gate = std::exchange(request.manualGate, nullptr);
    std::function<void()> work = [completer, request = std::move(request)] { Play(completer, request); };
    if (gate) {
        gate->WhenOpen([work = std::move(work)] { platform::RunOnThreadPool(work); });
        return operation;
    }

    auto waiting = std::make_shared<Waiting>();
    waiting->work = std::move(work);
    {
        std::lock_guard lock(m_lock);
        std::erase_if(m_waiting, [](const std::shared_ptr<Waiting>& entry) {
            std::lock_guard guard(entry->lock);
            return !entry->work;
        });
        m_waiting.push_back(waiting);
    }
    completer.OnListened([weak = std::weak_ptr<Waiting>(waiting)] {
        if (const auto entry = weak.lock()) {
            if (auto work = entry->Take()) {
                platform::RunOnThreadPool(std::move(work));
            }
        }
    });
    return operation;
}

ScopedScriptedService::ScopedScriptedService()
    : m_service(std::make_shared<ScriptedPackageManager>()),
      m_activations(std::make_shared<std::atomic<int>>(0)),
      m_activation([service = m_service, activations = m_activations] {
          ++*activations;
          return std::static_pointer_cast<platform::deployment::IPackageManager>(service);
      }) {}

}  // namespace test_support
