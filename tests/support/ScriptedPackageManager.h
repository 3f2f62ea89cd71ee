// A package deployment service that behaves as a test scripts it and records
// every call it receives; installed for activation by ScopedScriptedService.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Guid.h"
#include "platform/deployment/PackageManager.h"

namespace test_support {

// Holds back a scripted request until the test opens it. A request held here
// occupies no thread, so any number may wait at once.
class ScriptedGate {
public:
    ScriptedGate() = default;
    ScriptedGate(const ScriptedGate&) = delete;
    ScriptedGate& operator=(const ScriptedGate&) = delete;

    // Lets every request held here go on (each on a worker thread); later
    // requests pass straight through.
    void Open();
    bool IsOpen() const;

    // Runs the continuation once the gate is open: at once when it already
    // is, otherwise on the thread that opens it.
    void WhenOpen(std::function<void()> continuation);

private:
    mutable std::mutex m_lock;
    bool m_open = false;
    std::vector<std::function<void()>> m_waiting;
};

// How one deployment request behaves.
struct ScriptedRequest {
    std::optional<platform::hresult> raiseAtCall;  // the start call itself raises this code
    std::vector<std::uint32_t> progress;           // percentages reported, in order, before the end
    enum class End { Completed, Error, Canceled, Fail };  // Fail: Error status with no result (GetResults raises errorCode)
    End end = End::Completed;
    platform::hresult errorCode = 0;  // the operation's error code for Error / Fail
    // true: already finished when the call returns (its progress goes to no
    // handler). false: progress and end come later from a worker thread, the
    // end after the last progress report. The worker starts once a completion
    // handler is registered (a Completed handler or co_await), so a progress
    // handler attached before that sees every report.
    bool finishedAtReturn = false;
    std::optional<platform::hresult> refuseProgressHandler;  // Progress(handler) raises this code
    platform::Guid activityId{0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};
    bool isRegistered = true;
    platform::hresult extendedErrorCode = 0;
    std::wstring errorText;
    // When set (and not finishedAtReturn), the worker starts when the test
    // opens this gate instead, whether or not anyone listens yet.
    std::shared_ptr<ScriptedGate> manualGate;
};

// One call the service received.
struct ScriptedCall {
    // "GetDefaultPackageVolume", "AddPackageByAppInstallerFileAsync",
    // "ProvisionPackageForAllUsersAsync", "DeprovisionPackageForAllUsersAsync",
    // "FindPackagesByPackageFamilyName",
    // "FindPackagesByUserSecurityIdPackageFamilyName", "RemovePackageWithOptionsAsync"
    std::wstring operation;
    std::wstring argument;  // URI raw text / family name / full name
    std::uint32_t options = 0;
    std::wstring volume;  // for the add: the volume's Name()
    std::wstring userSecurityId;
};

class ScriptedPackageManager : public platform::deployment::IPackageManager {
public:
    ScriptedPackageManager() = default;
    // Requests still waiting for a listener end with E_ABORT here.
    ~ScriptedPackageManager() override;
    ScriptedPackageManager(const ScriptedPackageManager&) = delete;
    ScriptedPackageManager& operator=(const ScriptedPackageManager&) = delete;

    // FIFO per deployment operation; an unscripted request completes
    // asynchronously with no progress. An unknown name raises std::invalid_argument.
    void Script(const std::wstring& operation, ScriptedRequest request);
    // Applies to every later GetDefaultPackageVolume.
    void ScriptVolume(std::optional<platform::hresult> raise, std::wstring name = L"DefaultVolume");
    // FIFO per lookup operation: the full names of the packages one lookup
    // returns (of the family asked for); an unscripted lookup finds nothing.
    void ScriptLookup(const std::wstring& operation, std::vector<std::wstring> fullNames);
    void ScriptLookupFailure(const std::wstring& operation, platform::hresult code);

    std::vector<ScriptedCall> Calls() const;       // a snapshot, in order
    std::vector<std::wstring> CallNames() const;   // just the operation names, in order

    platform::deployment::PackageVolume GetDefaultPackageVolume() override;
    platform::deployment::DeploymentOperation AddPackageByAppInstallerFileAsync(
        const platform::Uri& appInstallerFileUri, platform::deployment::AddPackageByAppInstallerOptions options,
        const platform::deployment::PackageVolume& targetVolume) override;
    platform::deployment::DeploymentOperation ProvisionPackageForAllUsersAsync(
        const std::wstring& packageFamilyName) override;
    platform::deployment::DeploymentOperation DeprovisionPackageForAllUsersAsync(
        const std::wstring& packageFamilyName) override;
    platform::deployment::PackageCollection FindPackagesByPackageFamilyName(
        const std::wstring& packageFamilyName) override;
    platform::deployment::PackageCollection FindPackagesByUserSecurityIdPackageFamilyName(
        const std::wstring& userSecurityId, const std::wstring& packageFamilyName) override;
    platform::deployment::DeploymentOperation RemovePackageWithOptionsAsync(
        const std::wstring& packageFullName, platform::deployment::RemovalOptions options) override;

private:
    struct Lookup {
        std::optional<platform::hresult> failure;
        std::vector<std::wstring> fullNames;
    };
    struct Waiting;  // a request whose worker has not started yet

    platform::deployment::DeploymentOperation StartRequest(ScriptedCall call);
    platform::deployment::PackageCollection FindPackages(ScriptedCall call, const std::wstring& familyName);

    mutable std::mutex m_lock;
    std::vector<ScriptedCall> m_calls;
    std::map<std::wstring, std::deque<ScriptedRequest>> m_requests;
    std::map<std::wstring, std::deque<Lookup>> m_lookups;
    std::optional<platform::hresult> m_volumeRaise;
    std::wstring m_volumeName = L"DefaultVolume";
    std::vector<std::shared_ptr<Waiting>> m_waiting;
};

// Installs a new ScriptedPackageManager for activation for the life of the
// guard (the previous implementation comes back after) and counts activations.
class ScopedScriptedService {
public:
    ScopedScriptedService();
    ScopedScriptedService(const ScopedScriptedService&) = delete;
    ScopedScriptedService& operator=(const ScopedScriptedService&) = delete;

    ScriptedPackageManager& Service() { return *m_service; }
    std::shared_ptr<ScriptedPackageManager> SharedService() const { return m_service; }
    int Activations() const { return m_activations->load(); }

private:
    std::shared_ptr<ScriptedPackageManager> m_service;
    std::shared_ptr<std::atomic<int>> m_activations;
    platform::deployment::ScopedPackageManagerActivation m_activation;
};

}  // namespace test_support
