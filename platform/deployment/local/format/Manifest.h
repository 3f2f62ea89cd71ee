// The package manifest (AppxManifest.xml): the package's own identity.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/deployment/local/format/Names.h"

namespace platform::deployment::local {

// Reads the Identity of a package manifest. Raises 0x80080204 with a text saying
// what is wrong for malformed XML, another root or namespace, or an identity
// whose name, publisher, version (four parts, major not zero), architecture or
// resource id is missing or not valid.
PackageIdentity ReadManifest(std::string_view bytes);

// A PackageDependency: met by a package of that name and publisher at or above
// the version.
struct PackageDependency {
    std::wstring name;
    std::wstring publisher;
    Version minVersion;
    friend bool operator==(const PackageDependency&, const PackageDependency&) = default;
};

struct ManifestContents {
    PackageIdentity identity;
    std::vector<PackageDependency> dependencies;
};

// The identity as ReadManifest reads it, and the PackageDependency elements of
// the manifest's Dependencies (0x80080204 also for one without a valid Name,
// Publisher or MinVersion).
ManifestContents ReadManifestContents(std::string_view bytes);

}  // namespace platform::deployment::local
