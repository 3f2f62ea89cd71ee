#include "platform/deployment/local/format/DistinguishedName.h"

#include <array>
#include <string_view>
#include <utility>

#include "platform/Utf8.h"

namespace platform::deployment::local {
namespace {

constexpr std::array<std::pair<std::string_view, std::wstring_view>, 20> kKeys = {{
    {"2.5.4.3", L"CN"},
    {"2.5.4.7", L"L"},
    {"2.5.4.10", L"O"},
    {"2.5.4.11", L"OU"},
    {"1.2.840.113549.1.9.1", L"E"},
    {"2.5.4.6", L"C"},
    {"2.5.4.8", L"S"},
    {"2.5.4.9", L"STREET"},
    {"2.5.4.12", L"T"},
    {"2.5.4.42", L"G"},
    {"2.5.4.43", L"I"},
    {"2.5.4.4", L"SN"},
    {"0.9.2342.19200300.100.1.25", L"DC"},
    {"2.5.4.5", L"SERIALNUMBER"},
    {"2.5.4.13", L"Description"},
    {"2.5.4.17", L"PostalCode"},
    {"2.5.4.18", L"POBox"},
    {"2.5.4.20", L"Phone"},
    {"2.5.4.24", L"X21Address"},
    {"2.5.4.46", L"dnQualifier"},
}};

std::wstring KeyOf(const std::string& type) {
    for (const auto& [oid, key] : kKeys) {
        if (oid == type) {
            return std::wstring(key);
        }
    }
    return L"OID." + FromUtf8Lossy(type);
}

bool NeedsQuotes(std::wstring_view value) {
    return value.empty() || value.front() == L' ' || value.back() == L' ' ||
           value.find_first_of(L",+=\"<>#;\n") != std::wstring_view::npos;
}

}  // namespace

std::wstring PublisherText(const DistinguishedName& name) {
    std::wstring text;
    for (auto relative = name.rbegin(); relative != name.rend(); ++relative) {
        for (std::size_t i = 0; i < relative->size(); ++i) {
            if (!text.empty()) {
                text += i == 0 ? L", " : L" + ";
            }
            const NameAttribute& attribute = (*relative)[i];
            const std::wstring value = FromUtf8Lossy(attribute.value);
            text += KeyOf(attribute.type) + L"=";
            if (!NeedsQuotes(value)) {
                text += value;
                continue;
            }
            text += L'"';
            for (const wchar_t c : value) {
                text += c == L'"' ? std::wstring(L"\"\"") : std::wstring(1, c);
            }
            text += L'"';
        }
    }
    return text;
}

}  // namespace platform::deployment::local
