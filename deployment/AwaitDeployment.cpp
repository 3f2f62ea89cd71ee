#include "deployment/AwaitDeployment.h"

#include <cwchar>

#include "report/Console.h"
#include "report/LogError.h"

namespace deployment {
namespace {

using report::Console;
using report::ResultCode;

void LogProgress(const DeploymentOperation& operation) {
    // No line feed: each report overwrites the last one on the same line.
    operation.Progress([](const DeploymentOperation&, const DeploymentProgress& progress) {
        Console() << L"\rProgress: " << progress.percentage << L"%";
    });
}

bool EndsWithLineBreak(const std::wstring& text) {
    return !text.empty() && (text.back() == L'\n' || text.back() == L'\r');
}

}  // namespace

std::wstring FormatGuid(const platform::Guid& guid) {
    wchar_t buffer[40];
    std::swprintf(buffer, std::size(buffer),
                  L"{%08x-%04hx-%04hx-%02hhx%02hhx-%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return buffer;
}

IAsyncOperation<bool> AwaitDeployment(DeploymentOperation operation, std::wstring context) {
    bool result = false;
    LogProgress(operation);

    // Raises 0x800704C7 for a cancelled request and fetches the results otherwise.
    const DeploymentResult deploymentResult = co_await operation;

    Console() << L"\rDeployment result: ActivityId=" << FormatGuid(deploymentResult.ActivityId())
              << L", IsRegistered=" << deploymentResult.IsRegistered() << L'\n';

    const std::wstring& errorText = deploymentResult.ErrorText();
    if (deploymentResult.ExtendedErrorCode() != 0 || !errorText.empty()) {
        Console() << L"Deployment result error: ExtendedErrorCode=0x"
                  << ResultCode{deploymentResult.ExtendedErrorCode()} << L", ErrorText: " << errorText;
        // The status line or error report that follows starts on a line of its own.
        if (!EndsWithLineBreak(errorText)) {
            Console() << L'\n';
        }
    }

    switch (operation.Status()) {
        case AsyncStatus::Completed:
            Console() << context << L" completed\n";
            result = true;
            break;
        case AsyncStatus::Error:
            try {
                const platform::hresult code = operation.ErrorCode();
                if (platform::Failed(code)) {
                    platform::Throw(code);  // out of memory leaves as std::bad_alloc, unreported
                }
                Console() << context << L" error: code = 0x" << ResultCode{code} << L'\n';
            } catch (const PlatformError& error) {
                report::LogError(context, error);
            }
            break;
        case AsyncStatus::Canceled:
            Console() << context << L" cancelled unexpectedly\n";
            break;
        case AsyncStatus::Started:
            Console() << context << L" failed to complete\n";
            break;
    }
    co_return result;
}

}  // namespace deployment
