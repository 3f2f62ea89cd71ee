#include "platform/deployment/local/format/DistinguishedName.h"

#include <algorithm>
#include <array>
#include <cwctype>
#include <utility>

#include "platform/Utf8.h"

namespace platform::deployment::local {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 21> kKeys = {{
    {"CN", "2.5.4.3"},
    {"L", "2.5.4.7"},
    {"O", "2.5.4.10"},
    {"OU", "2.5.4.11"},
    {"E", "1.2.840.113549.1.9.1"},
    {"C", "2.5.4.6"},
    {"S", "2.5.4.8"},
    {"ST", "2.5.4.8"},
    {"STREET", "2.5.4.9"},
    {"T", "2.5.4.12"},
    {"G", "2.5.4.42"},
    {"I", "2.5.4.43"},
    {"SN", "2.5.4.4"},
    {"DC", "0.9.2342.19200300.100.1.25"},
    {"SERIALNUMBER", "2.5.4.5"},
    {"DESCRIPTION", "2.5.4.13"},
    {"POSTALCODE", "2.5.4.17"},
    {"POBOX", "2.5.4.18"},
    {"PHONE", "2.5.4.20"},
    {"X21ADDRESS", "2.5.4.24"},
    {"DNQUALIFIER", "2.5.4.46"},
}};

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

std::wstring_view Trim(std::wstring_view text) {
    while (!text.empty() && IsSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool IsDottedOid(std::string_view text) {
    std::size_t arcs = 0;
    for (std::size_t start = 0; start <= text.size(); ++arcs) {
        const std::size_t end = std::min(text.find('.', start), text.size());
        const std::string_view arc = text.substr(start, end - start);
        if (arc.empty() || arc.size() > 18 || !std::all_of(arc.begin(), arc.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            (arc.size() > 1 && arc[0] == '0')) {
            return false;
        }
        start = end + 1;
    }
    return arcs >= 2;
}

std::optional<std::string> TypeOf(std::wstring_view key) {
    std::string upper;
    for (const wchar_t c : key) {
        if (c > 0x7F) {
            return std::nullopt;
        }
        upper += static_cast<char>(std::towupper(static_cast<wint_t>(c)));
    }
    if (upper.starts_with("OID.")) {
        const std::string oid = upper.substr(4);
        return IsDottedOid(oid) ? std::optional(oid) : std::nullopt;
    }
    for (const auto& [name, oid] : kKeys) {
        if (upper == name) {
            return std::string(oid);
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<DistinguishedName> ParseDistinguishedName(std::wstring_view text) {
    DistinguishedName name;
    std::vector<NameAttribute> current;
    std::size_t at = 0;
    while (true) {
        const std::size_t equals = text.find(L'=', at);
        if (equals == std::wstring_view::npos) {
            return std::nullopt;
        }
        const auto type = TypeOf(Trim(text.substr(at, equals - at)));
        if (!type) {
            return std::nullopt;
        }
        at = equals + 1;
        while (at < text.size() && IsSpace(text[at])) {
            ++at;
        }
        std::wstring value;
        if (at < text.size() && text[at] == L'"') {
            for (++at;; ++at) {
                if (at >= text.size()) {
                    return std::nullopt;
                }
                if (text[at] == L'"') {
                    if (at + 1 < text.size() && text[at + 1] == L'"') {
                        value += L'"';
                        ++at;
                        continue;
                    }
                    ++at;
                    break;
                }
                value += text[at];
            }
            while (at < text.size() && IsSpace(text[at])) {
                ++at;
            }
        } else {
            const std::size_t end = std::min(text.find_first_of(L",;+\"", at), text.size());
            if (end < text.size() && text[end] == L'"') {
                return std::nullopt;
            }
            value = Trim(text.substr(at, end - at));
            at = end;
        }
        current.push_back(NameAttribute{*type, ToUtf8(value)});
        if (at == text.size() || text[at] != L'+') {
            std::sort(current.begin(), current.end());
            name.push_back(std::move(current));
            current.clear();
        }
        if (at == text.size()) {
            return name;
        }
        if (text[at] != L',' && text[at] != L';' && text[at] != L'+') {
            return std::nullopt;
        }
        ++at;
    }
}

std::wstring DistinguishedNameText(const DistinguishedName& name) {
    std::wstring text;
    for (const auto& relative : name) {
        for (const NameAttribute& attribute : relative) {
            if (!text.empty()) {
                text += &attribute == &relative.front() ? L", " : L" + ";
            }
            std::wstring key = L"OID." + FromUtf8Lossy(attribute.type);
            for (const auto& [shortName, oid] : kKeys) {
                if (oid == attribute.type) {
                    key = FromUtf8Lossy(shortName);
                    break;
                }
            }
            const std::wstring value = FromUtf8Lossy(attribute.value);
            const bool quote = value.empty() || value.find_first_of(L",;+=\"<>#") != std::wstring::npos ||
                               IsSpace(value.front()) || IsSpace(value.back());
            std::wstring written;
            for (const wchar_t c : value) {
                written += c == L'"' ? std::wstring(L"\"\"") : std::wstring(1, c);
            }
            text += key + L"=" + (quote ? L"\"" + written + L"\"" : written);
        }
    }
    return text;
}

}  // namespace platform::deployment::local
