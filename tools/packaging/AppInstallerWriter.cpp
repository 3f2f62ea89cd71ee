#include "tools/packaging/AppInstallerWriter.h"

#include "tools/packaging/XmlWriting.h"

namespace packaging {
namespace {

void AppendPackage(pugi::xml_node parent, const char* packageName, const char* bundleName,
                   const AppInstallerPackage& package) {
    auto element = parent.append_child(package.bundle ? bundleName : packageName);
    if (package.bundle) {
        element.append_attribute("Name") = package.identity.name.c_str();
        element.append_attribute("Publisher") = package.identity.publisher.c_str();
        element.append_attribute("Version") = package.identity.version.c_str();
    } else {
        SetIdentityAttributes(element, package.identity);
        if (package.identity.architecture.empty()) {
            element.remove_attribute("ProcessorArchitecture");
        }
    }
    element.append_attribute("Uri") = package.uri.c_str();
}

}  // namespace

std::string AppInstallerXml(const AppInstallerContent& content) {
    pugi::xml_document document;
    auto root = AppendRoot(document, "AppInstaller", content.xmlNamespace.c_str());
    root.append_attribute("Uri") = content.uri.c_str();
    root.append_attribute("Version") = content.version.c_str();
    AppendPackage(root, "MainPackage", "MainBundle", content.mainPackage);
    if (!content.optionalPackages.empty()) {
        auto optional = root.append_child("OptionalPackages");
        for (const AppInstallerPackage& package : content.optionalPackages) {
            AppendPackage(optional, "Package", "Bundle", package);
        }
    }
    if (!content.dependencies.empty()) {
        auto dependencies = root.append_child("Dependencies");
        for (const AppInstallerPackage& dependency : content.dependencies) {
            AppendPackage(dependencies, "Package", "Bundle", dependency);
        }
    }
    return ToXml(document);
}

void WriteAppInstallerFile(const std::filesystem::path& file, const AppInstallerContent& content) {
    WriteFile(file, AppInstallerXml(content));
}

}  // namespace packaging
