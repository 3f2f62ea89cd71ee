// The deployment operations, each an asynchronous task over the one service object.
#pragma once

#include <functional>
#include <string>

#include "deployment/PackageService.h"

namespace deployment {

class Installer {
public:
    // Obtains the package deployment service; raises when it cannot be activated.
    Installer() = default;

    // Adds the package that the AppInstaller file describes, onto the default volume.
    IAsyncOperation<bool> AddPackage(const Uri& appInstallerFileUri);
    IAsyncOperation<bool> ProvisionPackage(const std::wstring& packageFamilyName);
    IAsyncOperation<bool> DeprovisionPackage(const std::wstring& packageFamilyName);
    // Removes every installed package of the family, for this user or all users.
    IAsyncOperation<bool> RemovePackages(const std::wstring& packageFamilyName, bool allUsers);

private:
    // Writes the opening message, starts one request and follows it; a platform
    // error on the way is reported once under the context name and yields false.
    static IAsyncOperation<bool> Deploy(const wchar_t* openingMessage, std::wstring context,
                                        std::function<DeploymentOperation()> start);

    PackageManager m_packageManager;
};

}  // namespace deployment
