#include "platform/deployment/local/format/Names.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "platform/deployment/local/format/Hash.h"

namespace platform::deployment::local {

namespace {

constexpr std::wstring_view kPublisherIdAlphabet = L"0123456789abcdefghjkmnpqrstvwxyz";
constexpr std::size_t kPublisherIdLength = 13;

// The publisher as UTF-16LE bytes, the form its id is hashed from.
std::string Utf16LeBytes(std::wstring_view text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    auto append = [&bytes](std::uint32_t unit) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>((unit >> 8) & 0xFF);
    };
    for (const wchar_t wide : text) {
        const auto c = static_cast<std::uint32_t>(wide);
        if (c > 0xFFFF && c <= 0x10FFFF) {
            append(0xD800 + ((c - 0x10000) >> 10));
            append(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else if (c > 0x10FFFF) {
            append(0xFFFD);
        } else {
            append(c);
        }
    }
    return bytes;
}

bool IsNameCharacter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'.' ||
           c == L'-';
}

bool AllNameCharacters(std::wstring_view text) {
    for (const wchar_t c : text) {
        if (!IsNameCharacter(c)) {
            return false;
        }
    }
    return true;
}

std::vector<std::wstring_view> Split(std::wstring_view text, wchar_t separator) {
    std::vector<std::wstring_view> parts;
    std::size_t start = 0;
    for (std::size_t pos = text.find(separator); pos != std::wstring_view::npos; pos = text.find(separator, start)) {
        parts.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

}  // namespace

std::wstring PublisherId(std::wstring_view publisher) {
    const Sha256Digest digest = Sha256::Of(Utf16LeBytes(publisher));
    std::uint64_t prefix = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        prefix = (prefix << 8) | digest[i];
    }
    // 65 bits (the 64 of the prefix and a zero bit) as 13 five-bit digits.
    std::wstring id;
    id.reserve(kPublisherIdLength);
    for (std::size_t digit = 0; digit < kPublisherIdLength; ++digit) {
        std::size_t value = 0;
        for (std::size_t bit = digit * 5; bit < digit * 5 + 5; ++bit) {
            value = (value << 1) | (bit < 64 ? static_cast<std::size_t>((prefix >> (63 - bit)) & 1) : 0);
        }
        id += kPublisherIdAlphabet[value];
    }
    return id;
}

std::wstring FamilyName(const PackageIdentity& identity) {
    return identity.name + L'_' + PublisherId(identity.publisher);
}

std::wstring FullName(const PackageIdentity& identity) {
    return identity.name + L'_' + identity.version.ToString() + L'_' + identity.architecture + L'_' +
           identity.resourceId + L'_' + PublisherId(identity.publisher);
}

bool SameName(std::wstring_view a, std::wstring_view b) {
    const auto fold = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](wchar_t x, wchar_t y) { return fold(x) == fold(y); });
}

bool IsValidPackageName(std::wstring_view name) {
    return name.size() >= 3 && name.size() <= 50 && AllNameCharacters(name);
}

bool IsValidResourceId(std::wstring_view resourceId) {
    return resourceId.size() <= 30 && AllNameCharacters(resourceId);
}

bool IsValidArchitecture(std::wstring_view architecture) {
    return architecture == L"x86" || architecture == L"x64" || architecture == L"arm" || architecture == L"arm64" ||
           architecture == L"x86a64" || architecture == L"neutral";
}

bool IsValidFullNameResourceId(std::wstring_view resourceId) {
    return resourceId == kBundleResourceId || IsValidResourceId(resourceId);
}

bool IsValidPublisherId(std::wstring_view publisherId) {
    return publisherId.size() == kPublisherIdLength &&
           publisherId.find_first_not_of(kPublisherIdAlphabet) == std::wstring_view::npos;
}

std::optional<FamilyNameParts> ParseFamilyName(std::wstring_view familyName) {
    const auto parts = Split(familyName, L'_');
    if (parts.size() != 2 || !IsValidPackageName(parts[0]) || !IsValidPublisherId(parts[1])) {
        return std::nullopt;
    }
    return FamilyNameParts{std::wstring(parts[0]), std::wstring(parts[1])};
}

std::optional<FullNameParts> ParseFullName(std::wstring_view fullName) {
    const auto parts = Split(fullName, L'_');
    if (parts.size() != 5 || !IsValidPackageName(parts[0]) || !IsValidArchitecture(parts[2]) ||
        !IsValidFullNameResourceId(parts[3]) || !IsValidPublisherId(parts[4])) {
        return std::nullopt;
    }
    const auto version = Version::Parse(parts[1]);
    if (!version) {
        return std::nullopt;
    }
    return FullNameParts{std::wstring(parts[0]), *version, std::wstring(parts[2]), std::wstring(parts[3]),
                         std::wstring(parts[4])};
}

std::wstring FamilyName(const FullNameParts& parts) { return parts.name + L'_' + parts.publisherId; }

bool SameIdentity(const PackageIdentity& a, const PackageIdentity& b, bool architecture) {
    return SameName(a.name, b.name) && a.publisher == b.publisher && a.version == b.version &&
           SameName(a.resourceId, b.resourceId) && (!architecture || a.architecture == b.architecture);
}

}  // namespace platform::deployment::local
