// What the platform's packer makes of a file by its extension: whether it
// stores it rather than deflates it, and the content type it gives it.
#pragma once

#include <string>
#include <string_view>

namespace packaging {

// ASCII letters in lower case, as the packer compares extensions and names.
std::string Lower(std::string_view text);
// The extension of a part name's last segment, without the dot; empty without one.
std::string_view ExtensionOf(std::string_view name);
// Whether the packer stores a file of this extension (an already compressed kind).
bool StoredKind(std::string_view extension);
// The packer's content type for an extension; application/octet-stream for one it does not know.
const char* DefaultContentType(std::string_view extension);

}  // namespace packaging
