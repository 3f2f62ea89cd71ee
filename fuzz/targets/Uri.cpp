#include <string_view>

#include "fuzz/targets/FuzzTargets.h"
#include "fuzz/targets/Support.h"
#include "platform/Error.h"
#include "platform/Uri.h"
#include "platform/deployment/local/fetch/Fetch.h"
#include "platform/deployment/local/fetch/SourceRules.h"

namespace fuzz {
namespace {

using platform::PlatformError;
using platform::Uri;
namespace local = platform::deployment::local;

// What the store asks of a URI before it reads from it.
void CheckAsSource(const Uri& uri) {
    static_cast<void>(local::IsLoopbackHost(uri.Host()));
    try {
        local::CheckSource(uri);
        if (uri.SchemeName() == L"file") {
            static_cast<void>(local::LocalPath(uri));
        }
    } catch (const PlatformError&) {
    }
}

}  // namespace

void FuzzUri(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = AsText(data, size);
    const auto newline = bytes.find('\n');
    const std::wstring text = LooseWide(bytes.substr(0, newline));
    try {
        const Uri uri(text);
        Require(!uri.SchemeName().empty(), "a parsed URI has a scheme");
        Require(uri.Port() >= -1 && uri.Port() <= 65535, "a parsed port is -1 or 0..65535");
        CheckAsSource(uri);
        if (newline != std::string_view::npos) {
            const Uri combined = uri.CombineUri(LooseWide(bytes.substr(newline + 1)));
            CheckAsSource(combined);
        }
    } catch (const PlatformError&) {
    }
}

}  // namespace fuzz
