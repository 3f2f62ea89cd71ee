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

PackageDependency ReadDependency(pugi::xml_node element, std::size_t number) {
    const std::wstring what = L"PackageDependency " + std::to_wstring(number);
    const auto name = xml::Attribute(element, "Name");
    const auto publisher = xml::Attribute(element, "Publisher");
    const auto minVersion = xml::Attribute(element, "MinVersion");
    if (!name || !IsValidPackageName(FromUtf8Lossy(*name))) {
        Fail(what + L" has no Name of 3 to 50 letters, digits, '.' or '-'");
    }
    if (!publisher || publisher->empty()) {
        Fail(what + L" has no Publisher");
    }
    const auto version = minVersion ? Version::Parse(FromUtf8Lossy(*minVersion)) : std::nullopt;
    if (!version) {
        Fail(what + L" has no MinVersion of four numbers from 0 to 65535 separated by dots");
    }
    return PackageDependency{FromUtf8Lossy(*name), FromUtf8Lossy(*publisher), *version};
}

}  // namespace

PackageIdentity ReadManifest(std::string_view bytes) { return ReadManifestContents(bytes).identity; }

ManifestContents ReadManifestContents(std::string_view bytes) {
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
    ManifestContents contents{std::move(*identity), {}};
    for (const pugi::xml_node child : root.children()) {
        if (child.type() != pugi::node_element || xml::LocalName(child) != "Dependencies" ||
            xml::NamespaceOf(child) != rootNamespace) {
            continue;
        }
        for (const pugi::xml_node dependency : child.children()) {
            if (dependency.type() == pugi::node_element && xml::LocalName(dependency) == "PackageDependency" &&
                xml::NamespaceOf(dependency) == rootNamespace) {
                contents.dependencies.push_back(ReadDependency(dependency, contents.dependencies.size() + 1));
            }
        }
    }
    return contents;
}

}  // namespace platform::deployment::local
