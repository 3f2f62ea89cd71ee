// The AppInstaller file: where a package and its dependencies are published.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/deployment/local/format/Names.h"
#include "platform/deployment/local/format/Version.h"

namespace platform::deployment::local {

struct PackageReference {
    PackageIdentity identity;
    std::wstring uri;  // as written in the file; may be relative to the file's own URI
};

struct AppInstallerFile {
    std::wstring uri;  // where the file says it lives
    Version version;
    PackageReference mainPackage;
    std::vector<PackageReference> dependencies;
};

// Reads an AppInstaller file. `sourceName` (usually its URI) names the file in
// error texts. Raises 0x8008020C with a text naming the source and the fault for
// anything that is not a well-formed AppInstaller file with exactly one
// MainPackage (a MainBundle is refused).
AppInstallerFile ReadAppInstallerFile(std::string_view bytes, std::wstring_view sourceName);

}  // namespace platform::deployment::local
