#include <string>

#include "fuzz/targets/FuzzTargets.h"
#include "fuzz/targets/Support.h"
#include "platform/Error.h"
#include "platform/deployment/local/format/ContentTypes.h"
#include "platform/deployment/local/format/Encoding.h"

namespace fuzz {

namespace local = platform::deployment::local;

void FuzzContentTypes(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = AsText(data, size);
    local::ContentTypes types;
    try {
        types = local::ReadContentTypes(bytes);
    } catch (const platform::PlatformError&) {
        return;
    }
    // The names a package holds, and a few that the document may spell in another case.
    for (const std::string_view name : {"AppxManifest.xml", "AppxBlockMap.xml", "AppxSignature.p7x",
                                        "AppxMetadata/CodeIntegrity.cat", "assets/Logo.PNG", "bin/tool", "a.b/c",
                                        "x.", ""}) {
        const auto type = types.TypeOf(name);
        Require(!type || type->find('/') != std::string_view::npos, "a content type is a media type");
        const std::string folded = local::FoldAsciiCase(name);
        Require(types.TypeOf(folded) == type, "names in another ASCII case have the same type");
    }
}

}  // namespace fuzz
