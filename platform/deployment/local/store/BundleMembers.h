// Bundles in the registry. A bundle is recorded as a package of its own (its
// resource id "~") beside the packages installed from it, which share its
// family and version; lookups and removals treat them as the platform does.
#pragma once

#include <vector>

#include "platform/deployment/local/store/Registry.h"

namespace platform::deployment::local {

bool IsBundle(const PackageIdentity& identity);

// What a family lookup returns, as the platform's default inventory lists
// main packages: bundles and the resource packages installed from one left out.
std::vector<PackageRecord> WithoutBundleParts(std::vector<PackageRecord> records);

// The packages among `candidates` that a removal of `package` takes with it:
// itself, and when it is a bundle or was installed from one, the bundle and
// every package installed from it.
std::vector<PackageRecord> RemovedTogether(const PackageRecord& package, const std::vector<PackageRecord>& candidates);

}  // namespace platform::deployment::local
