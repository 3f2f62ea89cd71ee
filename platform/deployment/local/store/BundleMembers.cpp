#include "platform/deployment/local/store/BundleMembers.h"

#include <algorithm>

#include "platform/deployment/local/format/Names.h"

namespace platform::deployment::local {
namespace {

bool OfBundle(const PackageRecord& record, const PackageRecord& bundle) {
    return SameName(record.familyName, bundle.familyName) && record.identity.version == bundle.identity.version;
}

}  // namespace

bool IsBundle(const PackageIdentity& identity) { return identity.resourceId == kBundleResourceId; }

std::vector<PackageRecord> WithoutBundleParts(std::vector<PackageRecord> records) {
    std::vector<PackageRecord> bundles;
    std::copy_if(records.begin(), records.end(), std::back_inserter(bundles),
                 [](const PackageRecord& r) { return IsBundle(r.identity); });
    std::erase_if(records, [&](const PackageRecord& r) {
        return IsBundle(r.identity) ||
               (!r.identity.resourceId.empty() &&
                std::any_of(bundles.begin(), bundles.end(), [&](const PackageRecord& b) { return OfBundle(r, b); }));
    });
    return records;
}

std::vector<PackageRecord> RemovedTogether(const PackageRecord& package, const std::vector<PackageRecord>& candidates) {
    const auto bundle = std::find_if(candidates.begin(), candidates.end(), [&](const PackageRecord& r) {
        return IsBundle(r.identity) && OfBundle(package, r);
    });
    if (!IsBundle(package.identity) && bundle == candidates.end()) {
        return {package};
    }
    std::vector<PackageRecord> together{package};
    for (const PackageRecord& record : candidates) {
        if (!SameName(record.fullName, package.fullName) && OfBundle(record, package)) {
            together.push_back(record);
        }
    }
    return together;
}

}  // namespace platform::deployment::local
