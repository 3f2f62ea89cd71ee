// The package manifest (AppxManifest.xml): the package's own identity.
#pragma once

#include <string_view>

#include "platform/deployment/local/format/Names.h"

namespace platform::deployment::local {

// Reads the Identity of a package manifest. Raises 0x80080204 with a text saying
// what is wrong for malformed XML, another root or namespace, or an identity
// whose name, publisher, version (four parts, major not zero), architecture or
// resource id is missing or not valid.
PackageIdentity ReadManifest(std::string_view bytes);

}  // namespace platform::deployment::local
