#include "platform/deployment/local/store/Applicability.h"

#include <sys/utsname.h>

#include <algorithm>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"

namespace platform::deployment::local {
namespace {

wchar_t FoldAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool EqualsFolded(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) { return FoldAscii(x) == FoldAscii(y); });
}

std::wstring_view PrimaryLanguage(std::wstring_view tag) { return tag.substr(0, tag.find(L'-')); }

// A POSIX locale name as a BCP-47 tag; nullopt for C, POSIX and anything
// that is not letters, digits and separators.
std::optional<std::wstring> LocaleTag(std::string_view locale) {
    locale = locale.substr(0, locale.find_first_of(".@"));
    if (locale.empty() || locale == "C" || locale == "POSIX") {
        return std::nullopt;
    }
    std::wstring tag;
    for (const char c : locale) {
        if (c == '_' || c == '-') {
            tag += L'-';
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            tag += static_cast<wchar_t>(c);
        } else {
            return std::nullopt;
        }
    }
    if (tag.front() == L'-' || tag.back() == L'-' || tag.find(L"--") != std::wstring::npos) {
        return std::nullopt;
    }
    return tag;
}

}  // namespace

std::wstring HostArchitecture() {
    utsname host{};
    if (::uname(&host) != 0) {
        return {};
    }
    const std::string_view machine = host.machine;
    if (machine == "x86_64" || machine == "amd64") {
        return L"x64";
    }
    if (machine == "aarch64" || machine == "arm64") {
        return L"arm64";
    }
    if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86") {
        return L"x86";
    }
    if (machine.starts_with("arm")) {
        return L"arm";
    }
    return {};
}

std::optional<int> ArchitectureRank(std::wstring_view architecture, std::wstring_view host) {
    if (architecture == L"neutral") {
        return 2;
    }
    if (!host.empty() && architecture == host) {
        return 0;
    }
    if ((host == L"x64" && architecture == L"x86") || (host == L"arm64" && architecture == L"x86a64")) {
        return 1;
    }
    return std::nullopt;
}

std::vector<std::wstring> UserLanguages(const std::function<const char*(const char*)>& get) {
    std::vector<std::wstring> languages;
    auto add = [&languages](std::string_view locale) {
        const auto tag = LocaleTag(locale);
        if (tag && std::none_of(languages.begin(), languages.end(),
                                [&](const std::wstring& known) { return EqualsFolded(known, *tag); })) {
            languages.push_back(*tag);
        }
    };
    if (const char* list = get("LANGUAGE")) {
        std::string_view rest = list;
        for (auto colon = rest.find(':'); !rest.empty(); colon = rest.find(':')) {
            add(rest.substr(0, colon));
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        }
    }
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* locale = get(variable); locale != nullptr && *locale != '\0') {
            add(locale);
            break;
        }
    }
    return languages;
}

bool LanguageMatches(std::wstring_view resource, std::wstring_view user) {
    return EqualsFolded(resource, user) || EqualsFolded(PrimaryLanguage(resource), PrimaryLanguage(user));
}

std::vector<std::size_t> ChooseBundlePackages(const BundleManifest& manifest, std::wstring_view host,
                                              const std::vector<std::wstring>& languages) {
    std::optional<std::size_t> application;
    int best = 0;
    std::vector<std::size_t> chosen(1);
    for (std::size_t i = 0; i < manifest.packages.size(); ++i) {
        const BundledPackage& package = manifest.packages[i];
        if (package.application) {
            const auto rank = ArchitectureRank(package.identity.architecture, host);
            if (rank && (!application || *rank < best)) {
                application = i;
                best = *rank;
            }
        } else if (std::any_of(package.languages.begin(), package.languages.end(), [&](const std::wstring& language) {
                       return std::any_of(languages.begin(), languages.end(), [&](const std::wstring& user) {
                           return LanguageMatches(language, user);
                       });
                   })) {
            chosen.push_back(i);
        }
    }
    if (!application) {
        Throw(kWrongArchitecture, L"The bundle " + FullName(manifest.identity) +
                                      L" has no application package for the processor architecture " +
                                      (host.empty() ? std::wstring(L"of this machine") : std::wstring(host)) + L".");
    }
    chosen.front() = *application;
    return chosen;
}

void RequireFitsHost(const PackageIdentity& identity, const std::wstring& host) {
    if (!ArchitectureRank(identity.architecture, host)) {
        Throw(kWrongArchitecture, L"The package " + FullName(identity) + L" is for the processor architecture " +
                                      identity.architecture + L", which this machine (" +
                                      (host.empty() ? std::wstring(L"unknown") : host) + L") does not run.");
    }
}


}  // namespace platform::deployment::local
