// What a package's manifest requires of the packages beside it.
#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

#include "platform/deployment/local/format/Manifest.h"
#include "platform/deployment/local/format/Names.h"
#include "platform/deployment/local/store/Registry.h"

namespace platform::deployment::local {

// Each of `requirements` of the package `fullName` is met by a package of
// that name and publisher at or above MinVersion that the user has or that is
// among `added`; otherwise raises 0x80073CF3 naming the first one missing.
void RequireDependencies(std::wstring_view fullName, const std::vector<PackageDependency>& requirements,
                         Registry& registry, std::wstring_view userId, const std::vector<PackageIdentity>& added);

// The requirements in the manifest of an installed package's folder; none
// when the folder holds no manifest (a bundle's).
std::vector<PackageDependency> InstalledRequirements(const std::filesystem::path& packageFolder);

}  // namespace platform::deployment::local
