// A package's identity and the family and full names the store derives from it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/deployment/local/format/Version.h"

namespace platform::deployment::local {

struct PackageIdentity {
    std::wstring name;
    std::wstring publisher;
    Version version;
    std::wstring architecture = L"neutral";  // x86, x64, arm, arm64, x86a64 or neutral
    std::wstring resourceId;                 // usually empty

    friend bool operator==(const PackageIdentity&, const PackageIdentity&) = default;
};

// The 13-character publisher id: the first 8 bytes of the SHA-256 of the
// publisher in UTF-16LE, with a zero bit appended, in base 32.
std::wstring PublisherId(std::wstring_view publisher);

// Name_PublisherId
std::wstring FamilyName(const PackageIdentity& identity);
// Name_Version_Architecture_ResourceId_PublisherId
std::wstring FullName(const PackageIdentity& identity);

// Whether two package, family or full names name the same thing: the platform
// compares them without regard to ASCII case (they hold no other letters).
bool SameName(std::wstring_view a, std::wstring_view b);

// Whether two identities name the same package: names without regard to
// case, the architecture only when `architecture` (an AppInstaller file may
// leave it out).
bool SameIdentity(const PackageIdentity& a, const PackageIdentity& b, bool architecture);

// A package name: 3 to 50 of A-Z a-z 0-9 '.' '-'. Names are used as folder
// names in the store, so nothing else may pass.
bool IsValidPackageName(std::wstring_view name);
// A resource id: empty, or up to 30 of A-Z a-z 0-9 '.' '-'.
bool IsValidResourceId(std::wstring_view resourceId);
// The resource id of a bundle's identity; no package's manifest may give it.
constexpr std::wstring_view kBundleResourceId = L"~";
// A resource id as a full name carries it: a package's, or a bundle's "~".
bool IsValidFullNameResourceId(std::wstring_view resourceId);
// x86, x64, arm, arm64, x86a64 or neutral (exact, lower case).
bool IsValidArchitecture(std::wstring_view architecture);
// 13 characters of the publisher id alphabet.
bool IsValidPublisherId(std::wstring_view publisherId);

struct FamilyNameParts {
    std::wstring name;
    std::wstring publisherId;
    friend bool operator==(const FamilyNameParts&, const FamilyNameParts&) = default;
};

struct FullNameParts {
    std::wstring name;
    Version version;
    std::wstring architecture;
    std::wstring resourceId;
    std::wstring publisherId;
    friend bool operator==(const FullNameParts&, const FullNameParts&) = default;
};

// The parts of a well-formed family or full name (each part valid as above);
// nullopt for anything else.
std::optional<FamilyNameParts> ParseFamilyName(std::wstring_view familyName);
std::optional<FullNameParts> ParseFullName(std::wstring_view fullName);
// Name_PublisherId of a full name's parts.
std::wstring FamilyName(const FullNameParts& parts);

}  // namespace platform::deployment::local
