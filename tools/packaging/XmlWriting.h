// The pieces the writer's XML documents share.
#pragma once

#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "tools/packaging/PackageWriter.h"

namespace packaging {

// The document as UTF-8 text, indented.
std::string ToXml(const pugi::xml_document& document);
// Starts a UTF-8 document with a root element in `xmlNamespace`.
pugi::xml_node AppendRoot(pugi::xml_document& document, const char* name, const char* xmlNamespace);
// Name, Publisher, Version, ProcessorArchitecture and, when there is one, ResourceId.
void SetIdentityAttributes(pugi::xml_node element, const Identity& identity);
// Text escaped for an attribute value in double quotes.
std::string EscapeXml(std::string_view text);

}  // namespace packaging
