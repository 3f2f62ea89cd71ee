#include "platform/deployment/local/format/ContentTypes.h"

#include <algorithm>
#include <cctype>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/format/Encoding.h"
#include "platform/deployment/local/format/PartNames.h"
#include "platform/deployment/local/format/Xml.h"

namespace platform::deployment::local {
namespace {

constexpr std::string_view kContentTypesNamespace = "http://schemas.openxmlformats.org/package/2006/content-types";

[[noreturn]] void Fail(const std::wstring& fault) {
    Throw(kCorruptPackage, L"Its [Content_Types].xml is not valid: " + fault + L".");
}

// The token characters of a media type (RFC 2616, 2.2).
bool IsToken(std::string_view text) {
    static constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={} \t";
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
               const auto byte = static_cast<unsigned char>(c);
               return byte > 0x20 && byte < 0x7F && kSeparators.find(c) == std::string_view::npos;
           });
}

// "type/subtype", optionally followed by parameters.
bool IsMediaType(std::string_view text) {
    const std::string_view essence = text.substr(0, text.find(';'));
    const auto slash = essence.find('/');
    return slash != std::string_view::npos && IsToken(essence.substr(0, slash)) &&
           IsToken(essence.substr(slash + 1));
}

std::string_view ExtensionOf(std::string_view partName) {
    const auto slash = partName.rfind('/');
    const auto dot = partName.rfind('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
        return {};
    }
    return partName.substr(dot + 1);
}

}  // namespace

std::optional<std::string_view> ContentTypes::TypeOf(std::string_view partName) const {
    if (const auto found = m_byPartName.find(FoldAsciiCase(partName)); found != m_byPartName.end()) {
        return found->second;
    }
    const std::string_view extension = ExtensionOf(partName);
    if (extension.empty()) {
        return std::nullopt;
    }
    if (const auto found = m_byExtension.find(FoldAsciiCase(extension)); found != m_byExtension.end()) {
        return found->second;
    }
    return std::nullopt;
}

ContentTypes ReadContentTypes(std::string_view bytes) {
    pugi::xml_document document;
    if (const std::string error = xml::Load(document, bytes); !error.empty()) {
        Fail(L"the XML cannot be read (" + FromUtf8Lossy(error) + L")");
    }
    const pugi::xml_node root = document.document_element();
    const std::string rootNamespace = xml::NamespaceOf(root);
    if (xml::LocalName(root) != "Types" || rootNamespace != kContentTypesNamespace) {
        Fail(L"the root element is <" + FromUtf8Lossy(root.name()) + L"> in namespace \"" +
             FromUtf8Lossy(rootNamespace) + L"\", not <Types>");
    }

    ContentTypes types;
    for (const pugi::xml_node child : root.children()) {
        if (child.type() != pugi::node_element) {
            continue;
        }
        const std::string_view kind = xml::LocalName(child);
        if ((kind != "Default" && kind != "Override") || xml::NamespaceOf(child) != kContentTypesNamespace) {
            Fail(L"<Types> holds a <" + FromUtf8Lossy(child.name()) + L"> element");
        }
        const std::string type = xml::Attribute(child, "ContentType").value_or("");
        if (!IsMediaType(type)) {
            Fail(L"a <" + FromUtf8Lossy(kind) + L"> has the ContentType \"" + FromUtf8Lossy(type) +
                 L"\", which is not a media type");
        }
        if (kind == "Default") {
            const std::string extension = xml::Attribute(child, "Extension").value_or("");
            if (extension.empty() || extension.find_first_of("./") != std::string::npos) {
                Fail(L"a <Default> has the Extension \"" + FromUtf8Lossy(extension) +
                     L"\", which is not a file name extension");
            }
            if (!types.m_byExtension.emplace(FoldAsciiCase(extension), type).second) {
                Fail(L"the extension \"" + FromUtf8Lossy(extension) + L"\" has more than one <Default>");
            }
            continue;
        }
        const std::string partName = xml::Attribute(child, "PartName").value_or("");
        const auto decoded = partName.starts_with('/') ? DecodePartName(partName.substr(1)) : std::nullopt;
        if (!decoded || !IsSafeEntryName(*decoded)) {
            Fail(L"an <Override> has the PartName \"" + FromUtf8Lossy(partName) + L"\", which is not a part name");
        }
        if (!types.m_byPartName.emplace(FoldAsciiCase(*decoded), type).second) {
            Fail(L"the part \"" + FromUtf8Lossy(partName) + L"\" has more than one <Override>");
        }
    }
    return types;
}

}  // namespace platform::deployment::local
