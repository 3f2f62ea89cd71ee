// Writes AppInstaller files that name a main package and its dependencies.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tools/packaging/PackageWriter.h"

namespace packaging {

struct AppInstallerPackage {
    Identity identity;
    std::string uri;
};

struct AppInstallerSpec {
    std::string xmlNamespace = "http://schemas.microsoft.com/appx/appinstaller/2018";
    std::string uri;
    std::string version = "1.0.0.0";
    AppInstallerPackage mainPackage;
    std::vector<AppInstallerPackage> dependencies;
};

std::string AppInstallerXml(const AppInstallerSpec& content);
// Raises std::runtime_error when the file cannot be written whole.
void WriteAppInstallerFile(const std::filesystem::path& file, const AppInstallerSpec& content);

}  // namespace packaging
