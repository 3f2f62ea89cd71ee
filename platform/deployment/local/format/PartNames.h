// The rules for a package's part names: how a ZIP entry name becomes a path,
// which paths are safe to create, and the names of the footprint files.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::deployment::local {

constexpr std::string_view kManifestName = "AppxManifest.xml";
constexpr std::string_view kBlockMapName = "AppxBlockMap.xml";
constexpr std::string_view kContentTypesName = "[Content_Types].xml";
constexpr std::string_view kSignatureName = "AppxSignature.p7x";

// The files that describe the package rather than belong to its payload (the
// manifest is payload: the block map lists it).
bool IsFootprintFile(std::string_view name);

// Whether a (percent-decoded) entry name is a safe relative path: not empty, not
// absolute, no "." or ".." or empty segment, no backslash, NUL, control
// character or ':' (drive letters, streams).
bool IsSafeEntryName(std::string_view name);

// The entry name as the package's part name, percent escapes decoded; nullopt
// for a bad escape or one that decodes to '/', '\' or NUL.
std::optional<std::string> DecodePartName(std::string_view rawName);

}  // namespace platform::deployment::local
