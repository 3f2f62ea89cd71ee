#include "platform/deployment/local/fetch/SourceRules.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cwctype>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Utf8.h"

namespace platform::deployment::local {
namespace {

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](wchar_t x, wchar_t y) { return std::towlower(x) == std::towlower(y); });
}

}  // namespace

bool IsLoopbackHost(std::wstring_view host) {
    if (host.size() >= 2 && host.front() == L'[' && host.back() == L']') {
        host = host.substr(1, host.size() - 2);
    }
    if (EqualsNoCase(host, L"localhost")) {
        return true;
    }
    const std::string text = ToUtf8(host);
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6)) {
            return true;
        }
        return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
    }
    return false;
}

void CheckSource(const Uri& uri) {
    const std::wstring& scheme = uri.SchemeName();
    if (scheme == L"file") {
        if (!uri.Host().empty() && !EqualsNoCase(uri.Host(), L"localhost")) {
            Throw(kInvalidArgument, L"Refused " + uri.RawUri() + L": a file: URI must name a file on this computer.");
        }
        return;
    }
    if (scheme == L"https" && !uri.Host().empty()) {
        return;
    }
    if (scheme == L"http") {
        if (IsLoopbackHost(uri.Host())) {
            return;
        }
        Throw(kInvalidArgument, L"Refused " + uri.RawUri() + L": plain http is allowed only to a loopback host.");
    }
    Throw(kInvalidArgument, L"Refused " + uri.RawUri() + L": only file:, https: and loopback http: URIs are supported.");
}

namespace {

// A file name as one segment of a relative URI reference.
std::wstring UriPathSegment(std::string_view name) {
    static constexpr std::string_view kKept = "-._~!$&'()*+,;=@";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::wstring segment;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x80 && std::isalnum(byte) != 0) || kKept.find(c) != std::string_view::npos) {
            segment += static_cast<wchar_t>(byte);
        } else {
            segment += L'%';
            segment += static_cast<wchar_t>(kHex[byte >> 4]);
            segment += static_cast<wchar_t>(kHex[byte & 0xF]);
        }
    }
    return segment;
}

}  // namespace

Uri ResolvePackageUri(const Uri& appInstallerUri, std::wstring_view reference) {
    std::optional<Uri> uri;
    try {
        uri.emplace(appInstallerUri.CombineUri(reference));
    } catch (const PlatformError&) {
        Throw(kInvalidArgument, L"The package URI " + std::wstring(reference) + L" in " + appInstallerUri.RawUri() +
                                    L" is not valid.");
    }
    CheckSource(*uri);
    const std::wstring& from = appInstallerUri.SchemeName();
    const std::wstring& to = uri->SchemeName();
    if ((from != L"file" && to == L"file") || (from == L"https" && to != L"https")) {
        Throw(kInvalidArgument, L"Refused " + uri->RawUri() + L": " + appInstallerUri.RawUri() +
                                    L" may not name a package there.");
    }
    return std::move(*uri);
}

Uri ResolveFileBeside(const Uri& uri, std::string_view fileName) {
    return ResolvePackageUri(uri, UriPathSegment(fileName));
}

bool IsAllowedRedirect(const Uri& from, const Uri& to) {
    const std::wstring& scheme = to.SchemeName();
    return scheme == L"https" || (scheme == L"http" && from.SchemeName() == L"http" && IsLoopbackHost(to.Host()));
}

}  // namespace platform::deployment::local
