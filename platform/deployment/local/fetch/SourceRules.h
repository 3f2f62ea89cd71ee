// Which sources the store reads from (local files, https, loopback http), and
// where an AppInstaller file or a server's redirect may send it.
#pragma once

#include <string_view>

#include "platform/Uri.h"

namespace platform::deployment::local {

// Raises 0x80070057, naming the URI, unless it is file: (on this host),
// https:, or http: to 127.0.0.0/8, ::1 or localhost. Nothing is contacted.
void CheckSource(const Uri& uri);

// Whether a host (as a URI spells it) is the loopback interface.
bool IsLoopbackHost(std::wstring_view host);

// The package URI that an AppInstaller file names (`reference`, absolute or
// relative to the file's own URI), resolved and checked: it may not step down
// from https, nor reach a local file from a remote one. Raises 0x80070057.
Uri ResolvePackageUri(const Uri& appInstallerUri, std::wstring_view reference);

// The file named `fileName` beside `uri` (as a flat bundle's packages lie
// beside it), resolved and checked as ResolvePackageUri does.
Uri ResolveFileBeside(const Uri& uri, std::string_view fileName);

// Whether a server at `from` may redirect to `to`: to https, or from loopback
// http to loopback http.
bool IsAllowedRedirect(const Uri& from, const Uri& to);

}  // namespace platform::deployment::local
