#include "platform/deployment/local/store/Dependencies.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/Error.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/format/PartNames.h"

namespace platform::deployment::local {

void RequireDependencies(std::wstring_view fullName, const std::vector<PackageDependency>& requirements,
                         Registry& registry, std::wstring_view userId, const std::vector<PackageIdentity>& added) {
    for (const PackageDependency& needed : requirements) {
        const auto meets = [&](const PackageIdentity& identity) {
            return SameName(identity.name, needed.name) && identity.publisher == needed.publisher &&
                   identity.version >= needed.minVersion;
        };
        PackageIdentity family;
        family.name = needed.name;
        family.publisher = needed.publisher;
        const auto mine = registry.UserPackages(userId, FamilyName(family));
        if (std::any_of(mine.begin(), mine.end(), [&](const PackageRecord& r) { return meets(r.identity); }) ||
            std::any_of(added.begin(), added.end(), meets)) {
            continue;
        }
        Throw(kDependencyMissing, L"The package " + std::wstring(fullName) + L" depends on " + needed.name +
                                      L" from \"" + needed.publisher + L"\" at version " +
                                      needed.minVersion.ToString() +
                                      L" or higher, which is neither installed nor added with it.");
    }
}

std::vector<PackageDependency> InstalledRequirements(const std::filesystem::path& packageFolder) {
    std::ifstream in(packageFolder / kManifestName, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return in ? ReadManifestContents(bytes).dependencies : std::vector<PackageDependency>{};
}

}  // namespace platform::deployment::local
