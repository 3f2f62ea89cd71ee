// Helpers the fuzz targets share: bytes as text, a scratch folder, invariants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/deployment/local/extract/ExtractPackage.h"

namespace fuzz {

inline std::string_view AsText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Wide text from bytes read as UTF-8 without any validity check, so the fuzzer
// reaches surrogates, values beyond Unicode and NUL as easily as plain text; a
// byte that starts no sequence becomes the character of its own value.
std::wstring LooseWide(std::string_view bytes);

// A folder of this process's own under the temporary folder (on tmpfs when there
// is one), removed when the process exits normally.
const std::filesystem::path& ScratchFolder();

// Removes a file or folder tree; a failure here is the harness's, so it aborts.
void RemoveAll(const std::filesystem::path& path);

// Extraction without the signature check, which has fuzz targets of its own:
// the fuzzer cannot forge a signature, so checking it would stop every input there.
platform::deployment::local::ExtractOptions Unchecked();

// Aborts with the text when a property every accepted input must have is broken,
// so the fuzzer reports it as it reports a crash.
void Require(bool holds, const char* property);

}  // namespace fuzz
