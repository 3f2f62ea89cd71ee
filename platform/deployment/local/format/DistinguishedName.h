// A certificate's subject written as the platform writes it to compare with a
// manifest's Publisher: the way its CertNameToStr writes an X.500 name, most
// specific name first.
#pragma once

#include <string>
#include <vector>

namespace platform::deployment::local {

struct NameAttribute {
    std::string type;   // the attribute type's object identifier, dotted
    std::string value;  // UTF-8
};

// The relative distinguished names in the order the certificate encodes them
// (most general first), each with its attributes in their encoded order.
using DistinguishedName = std::vector<std::vector<NameAttribute>>;

// `CN=..., O=..., C=...`: the names from the last encoded to the first,
// separated by ", "; the attributes of one name by " + "; each as KEY=value
// with the platform's keys (CN, L, O, OU, E, C, S, STREET, T, G, I, SN, DC,
// SERIALNUMBER, Description, PostalCode, POBox, Phone, X21Address, dnQualifier;
// OID.n.n... for others); a value quoted with `"` (and a quote in it doubled)
// when it is empty, begins or ends with a space, or holds one of , + = " < > # ;
// or a line feed.
std::wstring PublisherText(const DistinguishedName& name);

}  // namespace platform::deployment::local
