#include "platform/deployment/local/format/Xml.h"

#include "platform/Utf8.h"

namespace platform::deployment::local::xml {

std::string Load(pugi::xml_document& document, std::string_view bytes) {
    const pugi::xml_parse_result result =
        document.load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_auto);
    if (!result) {
        return std::string(result.description()) + " at offset " + std::to_string(result.offset);
    }
    if (!document.document_element()) {
        return "no root element";
    }
    return {};
}

std::string NamespaceOf(pugi::xml_node element) {
    const std::string_view name = element.name();
    const auto colon = name.find(':');
    const std::string attributeName =
        colon == std::string_view::npos ? std::string("xmlns") : "xmlns:" + std::string(name.substr(0, colon));
    for (pugi::xml_node node = element; node && node.type() == pugi::node_element; node = node.parent()) {
        if (const pugi::xml_attribute declaration = node.attribute(attributeName.c_str())) {
            return declaration.value();
        }
    }
    return {};
}

std::string_view LocalName(pugi::xml_node element) {
    const std::string_view name = element.name();
    const auto colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::optional<std::string> Attribute(pugi::xml_node element, const char* name) {
    const pugi::xml_attribute attribute = element.attribute(name);
    if (!attribute) {
        return std::nullopt;
    }
    return std::string(attribute.value());
}

std::optional<PackageIdentity> ReadIdentity(pugi::xml_node element, std::wstring& fault) {
    // pugixml has already turned the document into UTF-8, so values decode cleanly.
    auto read = [&](const char* name, bool required) -> std::optional<std::wstring> {
        const auto value = Attribute(element, name);
        if (!value) {
            if (required) {
                fault = L"the " + FromUtf8Lossy(name) + L" attribute is missing";
            }
            return std::nullopt;
        }
        return FromUtf8Lossy(*value);
    };

    PackageIdentity identity;
    const auto name = read("Name", true);
    if (!name) {
        return std::nullopt;
    }
    if (!IsValidPackageName(*name)) {
        fault = L"the Name \"" + *name + L"\" is not 3 to 50 letters, digits, '.' or '-'";
        return std::nullopt;
    }
    identity.name = *name;

    const auto publisher = read("Publisher", true);
    if (!publisher) {
        return std::nullopt;
    }
    if (publisher->empty() || publisher->size() > 8192) {
        fault = L"the Publisher is empty or longer than 8192 characters";
        return std::nullopt;
    }
    identity.publisher = *publisher;

    const auto versionText = read("Version", true);
    if (!versionText) {
        return std::nullopt;
    }
    const auto version = Version::Parse(*versionText);
    if (!version) {
        fault = L"the Version \"" + *versionText + L"\" is not four numbers from 0 to 65535 separated by dots";
        return std::nullopt;
    }
    if (version->major == 0) {
        fault = L"the Version \"" + *versionText + L"\" has a major part of zero";
        return std::nullopt;
    }
    identity.version = *version;

    if (const auto architecture = read("ProcessorArchitecture", false)) {
        if (!IsValidArchitecture(*architecture)) {
            fault = L"the ProcessorArchitecture \"" + *architecture +
                    L"\" is not one of x86, x64, arm, arm64, x86a64 or neutral";
            return std::nullopt;
        }
        identity.architecture = *architecture;
    }

    if (const auto resourceId = read("ResourceId", false)) {
        if (!IsValidResourceId(*resourceId)) {
            fault = L"the ResourceId \"" + *resourceId + L"\" is not up to 30 letters, digits, '.' or '-'";
            return std::nullopt;
        }
        identity.resourceId = *resourceId;
    }
    return identity;
}

}  // namespace platform::deployment::local::xml
