#include "fuzz/targets/FuzzTargets.h"
#include "fuzz/targets/Support.h"
#include "platform/Error.h"
#include "platform/deployment/local/format/Manifest.h"
#include "platform/deployment/local/format/Names.h"

namespace fuzz {

void FuzzManifest(const std::uint8_t* data, std::size_t size) {
    namespace local = platform::deployment::local;
    const std::string_view bytes = AsText(data, size);
    try {
        const local::PackageIdentity identity = local::ReadManifest(bytes);
        const auto parts = local::ParseFullName(local::FullName(identity));
        Require(parts.has_value(), "the full name of an accepted manifest identity parses");
        Require(*parts == (local::FullNameParts{identity.name, identity.version, identity.architecture,
                                                identity.resourceId, local::PublisherId(identity.publisher)}),
                "the full name of an accepted manifest identity gives back its parts");
        Require(local::FamilyName(*parts) == local::FamilyName(identity),
                "the family name from the parsed full name is the identity's");
    } catch (const platform::PlatformError&) {
    }
    // The same bytes as a name the store is handed on its command line.
    const std::wstring text = LooseWide(bytes);
    if (const auto full = local::ParseFullName(text)) {
        Require(local::IsValidPackageName(full->name) && local::IsValidPublisherId(full->publisherId),
                "a parsed full name has valid parts");
    }
    if (const auto family = local::ParseFamilyName(text)) {
        Require(local::IsValidPackageName(family->name) && local::IsValidPublisherId(family->publisherId),
                "a parsed family name has valid parts");
    }
}

}  // namespace fuzz
