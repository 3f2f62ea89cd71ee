#include "tools/packaging/AppInstallerWriter.h"

#include "tools/packaging/XmlWriting.h"

namespace packaging {

std::string AppInstallerXml(const AppInstallerSpec& content) {
    pugi::xml_document document;
    auto root = AppendRoot(document, "AppInstaller", content.xmlNamespace.c_str());
    root.append_attribute("Uri") = content.uri.c_str();
    root.append_attribute("Version") = content.version.c_str();
    auto mainPackage = root.append_child("MainPackage");
    SetIdentityAttributes(mainPackage, content.mainPackage.identity);
    mainPackage.append_attribute("Uri") = content.mainPackage.uri.c_str();
    if (!content.dependencies.empty()) {
        auto dependencies = root.append_child("Dependencies");
        for (const AppInstallerPackage& dependency : content.dependencies) {
            auto package = dependencies.append_child("Package");
            SetIdentityAttributes(package, dependency.identity);
            package.append_attribute("Uri") = dependency.uri.c_str();
        }
    }
    return ToXml(document);
}

void WriteAppInstallerFile(const std::filesystem::path& file, const AppInstallerSpec& content) {
    WriteFile(file, AppInstallerXml(content));
}

}  // namespace packaging
