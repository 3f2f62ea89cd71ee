// Namespace-aware reading on top of pugixml, which itself ignores namespaces.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "platform/deployment/local/format/Names.h"

namespace platform::deployment::local::xml {

// Parses a whole document (any encoding pugixml detects); the error text, or
// empty on success. A document that is not well-formed XML fails, characters
// that XML does not allow among them.
std::string Load(pugi::xml_document& document, std::string_view bytes);

// The namespace URI an element's prefix (or the default namespace) resolves to.
std::string NamespaceOf(pugi::xml_node element);
// The element's name without its prefix.
std::string_view LocalName(pugi::xml_node element);

// The value of an unprefixed attribute, or nullopt when it is absent.
std::optional<std::string> Attribute(pugi::xml_node element, const char* name);

// Reads the identity attributes (Name, Publisher, Version, ProcessorArchitecture,
// ResourceId) of a manifest's Identity or an AppInstaller file's package
// element. On a fault returns nullopt and sets `fault` to a text saying which
// attribute is missing or not valid.
std::optional<PackageIdentity> ReadIdentity(pugi::xml_node element, std::wstring& fault);

}  // namespace platform::deployment::local::xml
