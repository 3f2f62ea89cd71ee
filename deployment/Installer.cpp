#include "deployment/Installer.h"

#include <cstdint>

#include "deployment/AwaitDeployment.h"
#include "report/Console.h"
#include "report/LogError.h"

namespace deployment {

using report::Console;

IAsyncOperation<bool> Installer::Deploy(const wchar_t* openingMessage, std::wstring context,
                                        std::function<DeploymentOperation()> start) {
    Console() << openingMessage << L'\n';
    try {
        DeploymentOperation request = start();
        co_return co_await AwaitDeployment(std::move(request), context);
    } catch (const PlatformError& error) {
        report::LogError(context, error);
    }
    co_return false;
}

IAsyncOperation<bool> Installer::AddPackage(const Uri& appInstallerFileUri) {
    return Deploy(L"\nStarting add package from app installer file", L"Add package", [&] {
        const PackageVolume volume = m_packageManager.GetDefaultPackageVolume();
        return m_packageManager.AddPackageByAppInstallerFileAsync(appInstallerFileUri,
                                                                  AddPackageByAppInstallerOptions::None, volume);
    });
}

IAsyncOperation<bool> Installer::ProvisionPackage(const std::wstring& packageFamilyName) {
    return Deploy(L"\nStarting provision package for all users", L"Provision package",
                  [&] { return m_packageManager.ProvisionPackageForAllUsersAsync(packageFamilyName); });
}

IAsyncOperation<bool> Installer::DeprovisionPackage(const std::wstring& packageFamilyName) {
    return Deploy(L"\nStarting deprovision package for all users", L"Deprovision package",
                  [&] { return m_packageManager.DeprovisionPackageForAllUsersAsync(packageFamilyName); });
}

IAsyncOperation<bool> Installer::RemovePackages(const std::wstring& packageFamilyName, bool allUsers) {
    Console() << L"\nStarting remove packages\n";
    try {
        const RemovalOptions removalOptions = allUsers ? RemovalOptions::RemoveForAllUsers : RemovalOptions::None;
        const PackageCollection packages =
            allUsers ? m_packageManager.FindPackagesByPackageFamilyName(packageFamilyName)
                     : m_packageManager.FindPackagesByUserSecurityIdPackageFamilyName(std::wstring(), packageFamilyName);

        std::uint32_t successCount = 0;
        std::uint32_t failureCount = 0;
        for (const Package& package : packages) {
            const std::wstring fullName = package.Id().FullName();
            Console() << L"Starting remove package: " << fullName << L'\n';
            DeploymentOperation removal = m_packageManager.RemovePackageWithOptionsAsync(fullName, removalOptions);
            if (co_await AwaitDeployment(std::move(removal), L"Remove package")) {
                ++successCount;
            } else {
                ++failureCount;
            }
        }

        if (failureCount > 0) {
            Console() << L"Completed remove packages, successCount=" << successCount
                      << L", failureCount=" << failureCount << L'\n';
            co_return false;
        }
        if (successCount > 0) {
            Console() << L"Completed remove packages, count=" << successCount << L'\n';
        } else {
            Console() << L"Completed remove packages, no package found\n";
        }
        co_return true;
    } catch (const PlatformError& error) {
        report::LogError(L"Remove packages", error);
    }
    co_return false;
}

}  // namespace deployment
