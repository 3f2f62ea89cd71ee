// Distinguished names as the manifest's Publisher writes them and as a
// certificate's subject holds them, in one form that compares as the platform
// compares a publisher with its signer.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::deployment::local {

struct NameAttribute {
    std::string type;   // the attribute type's object identifier, dotted
    std::string value;  // UTF-8
    friend auto operator<=>(const NameAttribute&, const NameAttribute&) = default;
};

// The relative distinguished names, most specific first (as the Publisher
// string lists them); the attributes of each sorted.
using DistinguishedName = std::vector<std::vector<NameAttribute>>;

// Parses a Publisher string: `KEY=value` attributes (CN, L, O, OU, E, C, S, ST,
// STREET, T, G, I, SN, DC, SERIALNUMBER, Description, PostalCode, POBox, Phone,
// X21Address, dnQualifier or OID.n.n...; keys in any case), joined by `+`
// within a name and separated by `,` or `;`; a value may be quoted, with `""`
// for a quote; spaces around keys and unquoted values do not count. Nothing
// for anything else.
std::optional<DistinguishedName> ParseDistinguishedName(std::wstring_view text);

// As a Publisher string would write it, for failure texts.
std::wstring DistinguishedNameText(const DistinguishedName& name);

}  // namespace platform::deployment::local
