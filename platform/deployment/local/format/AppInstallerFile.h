// The AppInstaller file: where a package and its dependencies are published.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/deployment/local/format/Names.h"
#include "platform/deployment/local/format/Version.h"

namespace platform::deployment::local {

struct PackageReference {
    // A bundle's: architecture neutral and resource id "~".
    PackageIdentity identity;
    std::wstring uri;  // as written in the file; may be relative to the file's own URI
    bool bundle = false;
    // Without ProcessorArchitecture any architecture is the one named.
    bool architectureGiven = true;
};

struct AppInstallerFile {
    std::wstring uri;  // where the file says it lives
    Version version;
    PackageReference mainPackage;  // a MainPackage or MainBundle
    std::vector<PackageReference> dependencies;
    std::vector<PackageReference> optionalPackages;
};

// Reads an AppInstaller file. `sourceName` (usually its URI) names the file in
// error texts. Raises 0x8008020C with a text naming the source and the fault for
// anything that is not a well-formed AppInstaller file with exactly one
// MainPackage or MainBundle.
AppInstallerFile ReadAppInstallerFile(std::string_view bytes, std::wstring_view sourceName);

}  // namespace platform::deployment::local
