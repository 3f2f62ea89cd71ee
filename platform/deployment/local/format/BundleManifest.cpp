#include "platform/deployment/local/format/BundleManifest.h"

#include <algorithm>
#include <array>
#include <optional>
#include <set>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/format/Xml.h"

namespace platform::deployment::local {

namespace {

constexpr std::string_view kBundleNamespace = "http://schemas.microsoft.com/appx/2013/bundle";
// The packer writes this one for a bundle that refers to its packages.
constexpr std::string_view kBundleNamespace2016 = "http://schemas.microsoft.com/appx/2016/bundle";
constexpr std::size_t kMaxFileNameLength = 256;

[[noreturn]] void Fail(const std::wstring& fault) {
    Throw(kInvalidManifest, L"The bundle manifest AppxBundleManifest.xml is not valid: " + fault + L".");
}

bool IsElement(pugi::xml_node node, std::string_view name, std::string_view ns) {
    return node.type() == pugi::node_element && xml::LocalName(node) == name && xml::NamespaceOf(node) == ns;
}

// xs:unsignedLong as the schema writes it: decimal digits only.
std::optional<std::uint64_t> ParseUnsignedLong(std::string_view text) {
    if (text.empty() || text.size() > 20) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::uint64_t ReadRange(pugi::xml_node package, const char* name, const std::wstring& what) {
    const auto text = xml::Attribute(package, name);
    if (!text) {
        Fail(what + L" has no " + FromUtf8Lossy(name));
    }
    const auto value = ParseUnsignedLong(*text);
    if (!value) {
        Fail(what + L" has the " + FromUtf8Lossy(name) + L" \"" + FromUtf8Lossy(*text) +
             L"\", which is not an unsigned 64-bit number");
    }
    return *value;
}

BundledPackage ReadPackage(pugi::xml_node element, const PackageIdentity& bundle, std::size_t number,
                           std::string_view ns) {
    const std::wstring what = L"package " + std::to_wstring(number);
    BundledPackage package;
    const std::string type = xml::Attribute(element, "Type").value_or("resource");
    if (type != "application" && type != "resource") {
        Fail(what + L" has the Type \"" + FromUtf8Lossy(type) + L"\", not application or resource");
    }
    package.application = type == "application";

    // The bundle's name and publisher complete the Package element's identity
    // attributes, which the identity reader expects under the manifest's names.
    pugi::xml_document scratch;
    pugi::xml_node identity = scratch.append_child("Identity");
    identity.append_attribute("Name") = ToUtf8(bundle.name).c_str();
    identity.append_attribute("Publisher") = ToUtf8(bundle.publisher).c_str();
    for (const auto& [from, to] : {std::pair{"Version", "Version"}, std::pair{"Architecture", "ProcessorArchitecture"},
                                   std::pair{"ResourceId", "ResourceId"}}) {
        if (const auto value = xml::Attribute(element, from)) {
            identity.append_attribute(to) = value->c_str();
        }
    }
    std::wstring fault;
    auto packageIdentity = xml::ReadIdentity(identity, fault);
    if (!packageIdentity) {
        Fail(L"in " + what + L", " + fault);
    }
    package.identity = std::move(*packageIdentity);

    const auto fileName = xml::Attribute(element, "FileName");
    if (!fileName || fileName->empty() || fileName->size() > kMaxFileNameLength ||
        fileName->find_first_of("<>:\"|?*") != std::string::npos) {
        Fail(what + L" has no FileName of 1 to 256 characters without <, >, :, \", |, ? or *");
    }
    package.fileName = *fileName;
    // Without an Offset the package is not in the bundle but beside it.
    package.stored = xml::Attribute(element, "Offset").has_value();
    if (package.stored) {
        package.offset = ReadRange(element, "Offset", what);
        package.size = ReadRange(element, "Size", what);
        if (package.size > UINT64_MAX - package.offset) {
            Fail(what + L" ends beyond 2^64 bytes");
        }
    }

    for (const pugi::xml_node child : element.children()) {
        if (!IsElement(child, "Resources", ns)) {
            continue;
        }
        for (const pugi::xml_node resource : child.children()) {
            if (!IsElement(resource, "Resource", ns)) {
                continue;
            }
            if (const auto language = xml::Attribute(resource, "Language")) {
                package.languages.push_back(FromUtf8Lossy(*language));
            }
        }
    }
    return package;
}

}  // namespace

BundleManifest ReadBundleManifest(std::string_view bytes) {
    pugi::xml_document document;
    if (const std::string error = xml::Load(document, bytes); !error.empty()) {
        Fail(L"the XML cannot be read (" + FromUtf8Lossy(error) + L")");
    }
    const pugi::xml_node root = document.document_element();
    const std::string_view ns = xml::NamespaceOf(root) == kBundleNamespace2016 ? kBundleNamespace2016 : kBundleNamespace;
    if (!IsElement(root, "Bundle", ns)) {
        Fail(L"the root element is <" + FromUtf8Lossy(root.name()) + L"> in namespace \"" +
             FromUtf8Lossy(xml::NamespaceOf(root)) + L"\", not a bundle manifest's <Bundle>");
    }

    BundleManifest manifest;
    pugi::xml_node identityElement;
    pugi::xml_node packagesElement;
    for (const pugi::xml_node child : root.children()) {
        for (auto [name, slot] : {std::pair{"Identity", &identityElement}, std::pair{"Packages", &packagesElement}}) {
            if (IsElement(child, name, ns)) {
                if (*slot) {
                    Fail(L"it has more than one " + FromUtf8Lossy(name) + L" element");
                }
                *slot = child;
            }
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
    manifest.identity = std::move(*identity);
    manifest.identity.architecture = L"neutral";
    manifest.identity.resourceId = L"~";
    if (!packagesElement) {
        Fail(L"it has no Packages element");
    }

    std::set<std::string> fileNames;
    std::set<std::wstring> fullNames;
    for (const pugi::xml_node child : packagesElement.children()) {
        if (!IsElement(child, "Package", ns)) {
            continue;
        }
        BundledPackage package = ReadPackage(child, manifest.identity, manifest.packages.size() + 1, ns);
        if (!fileNames.insert(package.fileName).second) {
            Fail(L"it lists the file \"" + FromUtf8Lossy(package.fileName) + L"\" more than once");
        }
        if (!fullNames.insert(FullName(package.identity)).second) {
            Fail(L"it lists the package " + FullName(package.identity) + L" more than once");
        }
        manifest.packages.push_back(std::move(package));
    }
    if (std::none_of(manifest.packages.begin(), manifest.packages.end(),
                     [](const BundledPackage& p) { return p.application; })) {
        Fail(L"it lists no application package");
    }
    return manifest;
}

}  // namespace platform::deployment::local
