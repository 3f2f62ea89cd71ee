#include "tools/packaging/XmlWriting.h"

#include <sstream>

namespace packaging {

std::string ToXml(const pugi::xml_document& document) {
    std::ostringstream out;
    document.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

pugi::xml_node AppendRoot(pugi::xml_document& document, const char* name, const char* xmlNamespace) {
    auto declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "UTF-8";
    auto root = document.append_child(name);
    root.append_attribute("xmlns") = xmlNamespace;
    return root;
}

void SetIdentityAttributes(pugi::xml_node element, const Identity& identity) {
    element.append_attribute("Name") = identity.name.c_str();
    element.append_attribute("Publisher") = identity.publisher.c_str();
    element.append_attribute("Version") = identity.version.c_str();
    element.append_attribute("ProcessorArchitecture") = identity.architecture.c_str();
    if (!identity.resourceId.empty()) {
        element.append_attribute("ResourceId") = identity.resourceId.c_str();
    }
}

void AppendOverride(pugi::xml_node types, const std::string& partName, const char* contentType) {
    auto element = types.append_child("Override");
    element.append_attribute("PartName") = ("/" + partName).c_str();
    element.append_attribute("ContentType") = contentType;
}

}  // namespace packaging
