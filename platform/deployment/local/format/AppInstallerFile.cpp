#include "platform/deployment/local/format/AppInstallerFile.h"

#include <algorithm>
#include <array>
#include <string>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/format/Xml.h"

namespace platform::deployment::local {

namespace {

constexpr std::array<std::string_view, 4> kAppInstallerNamespaces = {
    "http://schemas.microsoft.com/appx/appinstaller/2017",
    "http://schemas.microsoft.com/appx/appinstaller/2017/2",
    "http://schemas.microsoft.com/appx/appinstaller/2018",
    "http://schemas.microsoft.com/appx/appinstaller/2021",
};

class Reader {
public:
    explicit Reader(std::wstring_view sourceName) : m_sourceName(sourceName) {}

    [[noreturn]] void Fail(const std::wstring& fault) const {
        Throw(kInvalidAppInstallerFile,
              L"The AppInstaller file \"" + std::wstring(m_sourceName) + L"\" is not valid: " + fault + L".");
    }

    PackageReference ReadPackage(pugi::xml_node element, const std::wstring& what, bool bundle) const {
        std::wstring fault;
        auto identity = xml::ReadIdentity(element, fault);
        if (!identity) {
            Fail(L"in " + what + L", " + fault);
        }
        const auto uri = xml::Attribute(element, "Uri");
        if (!uri || uri->empty()) {
            Fail(L"in " + what + L", the Uri attribute is missing or empty");
        }
        PackageReference reference{std::move(*identity), FromUtf8Lossy(*uri), bundle,
                                   xml::Attribute(element, "ProcessorArchitecture").has_value()};
        if (bundle) {
            reference.identity.architecture = L"neutral";
            reference.identity.resourceId = std::wstring(kBundleResourceId);
            reference.architectureGiven = true;
        }
        return reference;
    }

    // The Package and Bundle elements of Dependencies or OptionalPackages.
    void ReadPackages(pugi::xml_node list, std::vector<PackageReference>& references, const std::wstring& what) const {
        for (const pugi::xml_node element : list.children()) {
            if (element.type() != pugi::node_element) {
                continue;
            }
            const std::string_view name = xml::LocalName(element);
            if (name != "Package" && name != "Bundle") {
                Fail(L"its " + FromUtf8Lossy(xml::LocalName(list)) + L" hold a <" + FromUtf8Lossy(element.name()) +
                     L">; only Package and Bundle elements can be installed");
            }
            references.push_back(
                ReadPackage(element, what + L' ' + std::to_wstring(references.size() + 1), name == "Bundle"));
        }
    }

private:
    std::wstring_view m_sourceName;
};

}  // namespace

AppInstallerFile ReadAppInstallerFile(std::string_view bytes, std::wstring_view sourceName) {
    const Reader reader(sourceName);
    pugi::xml_document document;
    if (const std::string error = xml::Load(document, bytes); !error.empty()) {
        reader.Fail(L"the XML cannot be read (" + FromUtf8Lossy(error) + L")");
    }
    const pugi::xml_node root = document.document_element();
    const std::string rootNamespace = xml::NamespaceOf(root);
    if (xml::LocalName(root) != "AppInstaller" ||
        std::find(kAppInstallerNamespaces.begin(), kAppInstallerNamespaces.end(), rootNamespace) ==
            kAppInstallerNamespaces.end()) {
        reader.Fail(L"the root element is <" + FromUtf8Lossy(root.name()) + L"> in namespace \"" +
                    FromUtf8Lossy(rootNamespace) + L"\", not <AppInstaller> in a known AppInstaller namespace");
    }

    AppInstallerFile file;
    const auto uri = xml::Attribute(root, "Uri");
    if (!uri || uri->empty()) {
        reader.Fail(L"the AppInstaller element has no Uri");
    }
    file.uri = FromUtf8Lossy(*uri);
    const auto versionText = xml::Attribute(root, "Version");
    if (!versionText) {
        reader.Fail(L"the AppInstaller element has no Version");
    }
    const auto version = Version::Parse(FromUtf8Lossy(*versionText));
    if (!version) {
        reader.Fail(L"the AppInstaller Version \"" + FromUtf8Lossy(*versionText) +
                    L"\" is not four numbers from 0 to 65535 separated by dots");
    }
    file.version = *version;

    bool haveMainPackage = false;
    for (const pugi::xml_node child : root.children()) {
        // Elements of later schemas' namespaces (and UpdateSettings and the
        // like) do not change what is installed.
        if (child.type() != pugi::node_element || xml::NamespaceOf(child) != rootNamespace) {
            continue;
        }
        const std::string_view name = xml::LocalName(child);
        if (name == "MainPackage" || name == "MainBundle") {
            if (haveMainPackage) {
                reader.Fail(L"it has more than one MainPackage or MainBundle");
            }
            file.mainPackage = reader.ReadPackage(child, FromUtf8Lossy(name), name == "MainBundle");
            haveMainPackage = true;
        } else if (name == "Dependencies") {
            reader.ReadPackages(child, file.dependencies, L"dependency");
        } else if (name == "OptionalPackages") {
            reader.ReadPackages(child, file.optionalPackages, L"optional package");
        }
    }
    if (!haveMainPackage) {
        reader.Fail(L"it has no MainPackage or MainBundle");
    }
    return file;
}

}  // namespace platform::deployment::local
