#include "fuzz/targets/FuzzTargets.h"
#include "fuzz/targets/Support.h"
#include "platform/Error.h"
#include "platform/Uri.h"
#include "platform/deployment/local/fetch/SourceRules.h"
#include "platform/deployment/local/format/AppInstallerFile.h"
#include "platform/deployment/local/format/Names.h"

namespace fuzz {
namespace {

using platform::PlatformError;
using platform::Uri;
namespace local = platform::deployment::local;

// Where the file could have come from: its package URIs are resolved against it.
const wchar_t* const kSources[] = {
    L"https://quillmark.example/release-app/AppPackage.appinstaller",
    L"file:///srv/release-app/AppPackage.appinstaller",
    L"http://127.0.0.1:8080/release-app/AppPackage.appinstaller",
};

void CheckReference(const local::PackageReference& reference) {
    // A listed identity passed the reader's checks, so its names must be ones the
    // store can parse back: they become folder names and registry keys.
    const auto parts = local::ParseFullName(local::FullName(reference.identity));
    Require(parts.has_value(), "the full name of an accepted identity parses");
    Require(parts->name == reference.identity.name && parts->version == reference.identity.version,
            "the full name of an accepted identity gives back its name and version");
    Require(local::ParseFamilyName(local::FamilyName(reference.identity)).has_value(),
            "the family name of an accepted identity parses");
    for (const wchar_t* source : kSources) {
        try {
            static_cast<void>(local::ResolvePackageUri(Uri(source), reference.uri));
        } catch (const PlatformError&) {
        }
    }
}

}  // namespace

void FuzzAppInstallerFile(const std::uint8_t* data, std::size_t size) {
    try {
        const local::AppInstallerFile file = local::ReadAppInstallerFile(AsText(data, size), L"fuzz.appinstaller");
        CheckReference(file.mainPackage);
        for (const auto& dependency : file.dependencies) {
            CheckReference(dependency);
        }
    } catch (const PlatformError&) {
    }
}

}  // namespace fuzz
