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

std::string EscapeXml(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

}  // namespace packaging
