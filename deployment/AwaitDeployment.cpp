#include "deployment/AwaitDeployment.h"

#include "platform/Guid.h"
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

// A text that ends in a carriage return alone has not ended its line: what
// follows would overwrite it on a terminal.
bool EndsWithLineFeed(const std::wstring& text) { return !text.empty() && text.back() == L'\n'; }

}  // namespace

IAsyncOperation<bool> AwaitDeployment(DeploymentOperation operation, std::wstring context) {
    bool result = false;
    LogProgress(operation);

    // Raises 0x800704C7 for a cancelled request and fetches the results otherwise.
    const DeploymentResult deploymentResult = co_await operation;

    Console() << L"\rDeployment result: ActivityId=" << platform::GuidText(deploymentResult.ActivityId())
              << L", IsRegistered=" << deploymentResult.IsRegistered() << L'\n';

    const std::wstring& errorText = deploymentResult.ErrorText();
    if (deploymentResult.ExtendedErrorCode() != 0 || !errorText.empty()) {
        Console() << L"Deployment result error: ExtendedErrorCode=0x"
                  << ResultCode{deploymentResult.ExtendedErrorCode()} << L", ErrorText: " << errorText;
        // The status line or error report that follows starts on a line of its own.
        if (!EndsWithLineFeed(errorText)) {
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
