// The pieces the writer's XML documents share.
#pragma once

#include <string>

#include <pugixml.hpp>

#include "tools/packaging/PackageWriter.h"

namespace packaging {

// The document as UTF-8 text, indented.
std::string ToXml(const pugi::xml_document& document);
// Starts a UTF-8 document with a root element in `xmlNamespace`.
pugi::xml_node AppendRoot(pugi::xml_document& document, const char* name, const char* xmlNamespace);
// Name, Publisher, Version, ProcessorArchitecture and, when there is one, ResourceId.
void SetIdentityAttributes(pugi::xml_node element, const Identity& identity);
// A content type for one part, in [Content_Types].xml's root.
void AppendOverride(pugi::xml_node types, const std::string& partName, const char* contentType);

}  // namespace packaging
