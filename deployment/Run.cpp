#include "deployment/Run.h"

#include <string>

#include "app/Options.h"
#include "deployment/Installer.h"

namespace deployment {

IAsyncOperation<bool> Run(const app::Options& options) {
    // Built in both modes, so a text that is no URI fails the run before the
    // service is obtained.
    const Uri appInstallerFileUri(options.AppInstallerFileUri());
    const std::wstring packageFamilyName = options.PackageFamilyName();
    const bool allUsers = options.ProvisionAllUsers();
    const bool remove = options.Remove();

    Installer installer;

    if (remove) {
        bool outcome = true;
        if (allUsers) {
            outcome = co_await installer.DeprovisionPackage(packageFamilyName);
        }
        const bool removed = co_await installer.RemovePackages(packageFamilyName, allUsers);
        co_return outcome && removed;
    }

    const bool added = co_await installer.AddPackage(appInstallerFileUri);
    if (added && allUsers) {
        co_return co_await installer.ProvisionPackage(packageFamilyName);
    }
    co_return added;
}

}  // namespace deployment
