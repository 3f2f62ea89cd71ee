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
constexpr std::string_view kCodeIntegrityName = "AppxMetadata/CodeIntegrity.cat";

// The files that describe the package rather than belong to its payload (the
// manifest is payload: the block map lists it). The block map does not list them.
bool IsFootprintFile(std::string_view name);

// Whether a (percent-decoded) entry name is a safe relative path: not empty, not
// absolute, no "." or ".." or empty segment, no backslash, NUL, control
// character or ':' (drive letters, streams).
bool IsSafeEntryName(std::string_view name);

// Whether a segment of the name is one the platform's file system cannot hold:
// a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9), also with an extension,
// or one ending in a dot or a space.
bool HasReservedSegment(std::string_view name);

// Whether the name lies in a folder of relationship parts ("_rels").
bool IsRelationshipPart(std::string_view name);

// The entry name as the package's part name, percent escapes decoded; nullopt
// for a bad escape or one that decodes to '/', '\' or NUL.
std::optional<std::string> DecodePartName(std::string_view rawName);

}  // namespace platform::deployment::local
