// What of a package or bundle applies to this machine and its user: the
// processor architectures the host runs and the user's languages.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/deployment/local/format/BundleManifest.h"

namespace platform::deployment::local {

// The host's architecture as packages name it (x64, x86, arm64, arm), from
// uname's machine; empty for a machine no package is built for.
std::wstring HostArchitecture();

// How well a package of `architecture` fits a `host`: 0 for the host's own,
// then x86 (on x64) or x86a64 (on arm64), then neutral last; nullopt when it
// does not run there.
std::optional<int> ArchitectureRank(std::wstring_view architecture, std::wstring_view host);

// Raises 0x80073D10 for a package whose architecture `host` does not run.
void RequireFitsHost(const PackageIdentity& identity, const std::wstring& host);

// The user's languages as BCP-47 tags, most wanted first: the LANGUAGE list,
// then the first of LC_ALL, LC_MESSAGES and LANG ("de_DE.UTF-8@euro" gives
// "de-DE"); C and POSIX name no language. `get` reads a variable (getenv).
std::vector<std::wstring> UserLanguages(const std::function<const char*(const char*)>& get);

// Whether a resource's language serves a user's: the same tag (case aside),
// or the same primary language.
bool LanguageMatches(std::wstring_view resource, std::wstring_view user);

// The packages of a bundle to install: the application package that fits the
// host best (the first listed among equals), and every resource package with
// a language that serves one of the user's. Indexes into manifest.packages,
// application first. Raises 0x80073D10 when no application package fits.
std::vector<std::size_t> ChooseBundlePackages(const BundleManifest& manifest, std::wstring_view host,
                                              const std::vector<std::wstring>& languages);

}  // namespace platform::deployment::local
