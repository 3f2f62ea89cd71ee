#include "platform/deployment/local/format/Manifest.h"

#include <algorithm>
#include <array>
#include <string>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/format/Xml.h"

namespace platform::deployment::local {

namespace {

constexpr std::array<std::string_view, 2> kManifestNamespaces = {
    "http://schemas.microsoft.com/appx/manifest/foundation/windows10",
    "http://schemas.microsoft.com/appx/2010/manifest",
};

[[noreturn]] void Fail(const std::wstring& fault) {
    Throw(kInvalidManifest, L"The package manifest AppxManifest.xml is not valid: " + fault + L".");
}

}  // namespace

PackageIdentity ReadManifest(std::string_view bytes) {
    pugi::xml_document document;
    if (const std::string error = xml::Load(document, bytes); !error.empty()) {
        Fail(L"the XML cannot be read (" + FromUtf8Lossy(error) + L")");
    }
    const pugi::xml_node root = document.document_element();
    const std::string rootNamespace = xml::NamespaceOf(root);
    if (xml::LocalName(root) != "Package" ||
        std::find(kManifestNamespaces.begin(), kManifestNamespaces.end(), rootNamespace) == kManifestNamespaces.end()) {
        Fail(L"the root element is <" + FromUtf8Lossy(root.name()) + L"> in namespace \"" +
             FromUtf8Lossy(rootNamespace) + L"\", not a package manifest's <Package>");
    }

    pugi::xml_node identityElement;
    for (const pugi::xml_node child : root.children()) {
        if (child.type() == pugi::node_element && xml::LocalName(child) == "Identity" &&
            xml::NamespaceOf(child) == rootNamespace) {
            if (identityElement) {
                Fail(L"it has more than one Identity element");
            }
            identityElement = child;
        }
    }
    if (!identityElement) {
        Fail(L"it has no Identity element");
    }

    std::wstring fault;
    auto identity = xml::ReadIdentity(identityElement, fault);
    if (!identity) {
        Fail(L"in its Identity, " + fault);
    }
    return std::move(*identity);
}

}  // namespace platform::deployment::local
