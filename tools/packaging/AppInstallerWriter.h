// Writes AppInstaller files that name a main package or bundle, its
// dependencies and optional packages.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tools/packaging/PackageWriter.h"

namespace packaging {

struct AppInstallerPackage {
    Identity identity;  // an empty architecture is left out
    std::string uri;
    bool bundle = false;  // MainBundle or Bundle: name, publisher and version only
};

struct AppInstallerContent {
    std::string xmlNamespace = "http://schemas.microsoft.com/appx/appinstaller/2018";
    std::string uri;
    std::string version = "1.0.0.0";
    AppInstallerPackage mainPackage;
    std::vector<AppInstallerPackage> dependencies;
    std::vector<AppInstallerPackage> optionalPackages;
};

std::string AppInstallerXml(const AppInstallerContent& content);
// Raises std::runtime_error when the file cannot be written whole.
void WriteAppInstallerFile(const std::filesystem::path& file, const AppInstallerContent& content);

}  // namespace packaging
