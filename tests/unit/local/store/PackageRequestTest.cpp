// What one add request installs beyond a single package: bundles chosen for the
// host and the user's languages, optional packages, and the packages a
// manifest depends on; all of it or, on any fault, nothing.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <functional>
#include <set>

#include "platform/Uri.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/store/LocalPackageManager.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/StoreTesting.h"
#include "tools/packaging/BundleWriter.h"

namespace {

using platform::FromUtf8Lossy;
using platform::ToHresult;
using platform::ToUtf8;
using platform::deployment::RemovalOptions;
using platform::deployment::local::LocalPackageManager;
using platform::deployment::local::LocalStoreOptions;
using store_testing::Await;
using store_testing::FileUri;
using store_testing::FullNameOf;
using store_testing::Outcome;
namespace fs = std::filesystem;

const std::string kPublisher = "CN=Oru Sample, O=Oru, C=US";

packaging::Identity Id(const std::string& name, const std::string& architecture = "x64",
                       const std::string& version = "1.0.0.0", const std::string& resourceId = "") {
    return packaging::Identity{name, kPublisher, version, architecture, resourceId};
}

// Who signs a package written for a test.
enum class Signing { ForItsPublisher, Unsigned, ForAnotherPublisher };

// A bundled package: its identity's architecture and resource id, its languages.
struct Part {
    std::string architecture;
    std::string resourceId;
    std::vector<std::string> languages;
    bool corrupt = false;
    Signing signing = Signing::ForItsPublisher;
};

// The user's languages for a test, as the environment gives them.
class LanguageEnvironment {
public:
    explicit LanguageEnvironment(const char* language) {
        for (const char* name : {"LC_ALL", "LC_MESSAGES"}) {
            m_environment.Set(name, std::nullopt);
        }
        m_environment.Set("LANGUAGE", language);
        m_environment.Set("LANG", "C.UTF-8");
    }

private:
    test_support::ScopedEnvironment m_environment;
};

class PackageRequestTest : public testing::Test {
protected:
    void SetUp() override { fs::create_directories(m_source); }

    std::shared_ptr<LocalPackageManager> Manager() {
        LocalStoreOptions options;
        options.userId = L"1001";
        return std::make_shared<LocalPackageManager>(m_root, options);
    }

    Outcome Add(const fs::path& appInstaller) {
        auto manager = Manager();
        return Await(manager->AddPackageByAppInstallerFileAsync(platform::Uri(FromUtf8Lossy(FileUri(appInstaller))),
                                                                {}, manager->GetDefaultPackageVolume()));
    }

public:
    const fs::path& Source() const { return m_source; }

    // A package with PackageDependency elements on (name, minimum version).
    std::string Package(const packaging::Identity& identity,
                        const std::vector<std::pair<std::string, std::string>>& dependencies = {},
                        bool corrupt = false, Signing signing = Signing::ForItsPublisher) {
        std::string manifest = packaging::ManifestXml(identity);
        std::string elements;
        for (const auto& [name, minVersion] : dependencies) {
            elements += "<PackageDependency Name=\"" + name + "\" Publisher=\"" + kPublisher + "\" MinVersion=\"" +
                        minVersion + "\"/>";
        }
        manifest.insert(manifest.rfind("</Package>"), "<Dependencies>" + elements + "</Dependencies>");
        test_support::PackageFaults faults;
        faults.manifestOverride = manifest;
        if (corrupt) {
            faults.corruptBlockOf = "Assets/Logo.png";
        }
        faults.leaveUnsigned = signing == Signing::Unsigned;
        if (signing == Signing::ForAnotherPublisher) {
            faults.signer = test_support::SigningAuthority::Shared().SignerFor("CN=Oru Other");
        }
        const std::string file = ToUtf8(FullNameOf(identity)) + ".appx";
        test_support::WriteBrokenPackage(m_source / file, identity, store_testing::SamplePayload(identity.name),
                                         store_testing::SignedUnlessSaid(faults, identity));
        return file;
    }

    // A flat bundle's packages are files beside it.
    std::string Bundle(const std::string& name, const std::vector<Part>& parts, bool signedBundle = true,
                       bool flat = false) {
        std::vector<packaging::BundledPackageFile> files;
        for (const Part& part : parts) {
            const auto identity = Id(name, part.architecture, "1.0.0.0", part.resourceId);
            files.push_back({m_source / Package(identity, {}, part.corrupt, part.signing), identity, part.resourceId.empty(),
                             part.languages});
        }
        const std::string file = name + ".appxbundle";
        packaging::PackageOptions options;
        if (signedBundle) {
            options.signer = store_testing::SignerOf(Id(name));
        }
        if (flat) {
            packaging::WriteFlatBundle(m_source / file, Id(name), files, options);
        } else {
            packaging::WriteBundle(m_source / file, Id(name), files, options);
        }
        return file;
    }

protected:
    fs::path AppInstaller(packaging::AppInstallerContent request) {
        request.uri = FileUri(m_source / "request.appinstaller");
        packaging::WriteAppInstallerFile(m_source / "request.appinstaller", request);
        return m_source / "request.appinstaller";
    }

    std::set<std::string> Folders() const {
        const auto names = store_testing::PackageFolders(m_root);
        return {names.begin(), names.end()};
    }

    store_testing::TempDir m_dir;
    fs::path m_root = store_testing::TrustingStore(m_dir / "store");
    fs::path m_source = m_dir / "source";
};

std::string Full(const packaging::Identity& identity) { return ToUtf8(FullNameOf(identity)); }

std::string BundleFull(const std::string& name) { return Full(Id(name, "neutral", "1.0.0.0", "~")); }

TEST_F(PackageRequestTest, BundleInstallsThePackagesForTheHostAndTheUsersLanguages) {
    const LanguageEnvironment languages("de_AT:it");
    const std::string bundle = Bundle("Oru.Bundled.App", {{"arm64", "", {}},
                                                          {"x64", "", {"en-US"}},
                                                          {"neutral", "", {}},
                                                          {"neutral", "split.language-de", {"de-DE"}},
                                                          {"neutral", "split.language-fr", {"fr-FR", "fr"}}});
    packaging::AppInstallerContent request;
    request.mainPackage = {Id("Oru.Bundled.App"), bundle, true};
    const Outcome outcome = Add(AppInstaller(request));
    ASSERT_EQ(outcome.status, platform::AsyncStatus::Completed) << ToUtf8(outcome.result.ErrorText());

    const auto application = Id("Oru.Bundled.App");
    EXPECT_EQ(Folders(), (std::set<std::string>{BundleFull("Oru.Bundled.App"), Full(application),
                                                Full(Id("Oru.Bundled.App", "neutral", "1.0.0.0", "split.language-de"))}));
    EXPECT_TRUE(fs::exists(m_root / "packages" / BundleFull("Oru.Bundled.App") / "AppxMetadata" /
                           "AppxBundleManifest.xml"));
    EXPECT_EQ(store_testing::ReadFile(m_root / "packages" / Full(application) / "readme.txt"), "hello Oru.Bundled.App");

    // The family shows its main package; removing it takes the bundle along.
    auto manager = Manager();
    const auto found = manager->FindPackagesByUserSecurityIdPackageFamilyName(L"", store_testing::FamilyNameOf(application));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].Id().FullName(), FullNameOf(application));
    EXPECT_EQ(Await(manager->RemovePackageWithOptionsAsync(FullNameOf(application), RemovalOptions::None)).status,
              platform::AsyncStatus::Completed);
    EXPECT_TRUE(Folders().empty());
    EXPECT_TRUE(manager->FindPackagesByPackageFamilyName(store_testing::FamilyNameOf(application)).empty());
}

// A request: what it is made of, and the code it ends with or the folders the
// store then holds.
struct RequestCase {
    std::string name;
    std::function<packaging::AppInstallerContent(PackageRequestTest&)> write;
    platform::hresult code;
    std::set<std::string> folders;  // with code 0; also those of earlier requests
    std::string textNames = {};     // part of the failure text
    std::vector<std::string> before = {};  // packages added first, each alone
};

void PrintTo(const RequestCase& value, std::ostream* out) { *out << value.name; }

class PackageRequestCaseTest : public PackageRequestTest, public testing::WithParamInterface<RequestCase> {};

TEST_P(PackageRequestCaseTest, InstallsAllOrNothing) {
    const LanguageEnvironment languages("de");
    for (const std::string& version : GetParam().before) {
        packaging::AppInstallerContent first;
        first.mainPackage = {Id("Oru.Dep", "x64", version), Package(Id("Oru.Dep", "x64", version))};
        ASSERT_EQ(Add(AppInstaller(first)).status, platform::AsyncStatus::Completed);
    }
    const packaging::AppInstallerContent request = GetParam().write(*this);
    static_cast<void>(Manager());  // the store as it is before any request
    const std::string before = store_testing::Snapshot(m_root);
    const Outcome outcome = Add(AppInstaller(request));
    if (GetParam().code != 0) {
        EXPECT_EQ(outcome.errorCode, GetParam().code) << ToUtf8(outcome.result.ErrorText());
        EXPECT_NE(ToUtf8(outcome.result.ErrorText()).find(GetParam().textNames), std::string::npos)
            << ToUtf8(outcome.result.ErrorText());
        EXPECT_EQ(store_testing::Snapshot(m_root), before);
    } else {
        EXPECT_EQ(outcome.status, platform::AsyncStatus::Completed) << ToUtf8(outcome.result.ErrorText());
        EXPECT_EQ(Folders(), GetParam().folders);
    }
}

packaging::AppInstallerContent MainNeeding(PackageRequestTest& test, const std::string& minVersion) {
    packaging::AppInstallerContent request;
    request.mainPackage = {Id("Oru.Main.App"), test.Package(Id("Oru.Main.App"), {{"Oru.Dep", minVersion}})};
    return request;
}

const platform::hresult kMissingDependency = ToHresult(0x80073CF3);
const platform::hresult kWrongArchitecture = ToHresult(0x80073D10);

INSTANTIATE_TEST_SUITE_P(
    Requests, PackageRequestCaseTest,
    testing::Values(
        RequestCase{"DependencyInstalledBefore", [](PackageRequestTest& t) { return MainNeeding(t, "1.0.0.0"); }, 0,
                    {Full(Id("Oru.Main.App")), Full(Id("Oru.Dep", "x64", "1.2.0.0"))}, "", {"1.2.0.0"}},
        RequestCase{"DependencyInTheSameRequest",
                    [](PackageRequestTest& t) {
                        auto request = MainNeeding(t, "1.0.0.0");
                        request.dependencies = {{Id("Oru.Dep", "x64", "2.0.0.0"), t.Package(Id("Oru.Dep", "x64", "2.0.0.0"))}};
                        return request;
                    },
                    0, {Full(Id("Oru.Main.App")), Full(Id("Oru.Dep", "x64", "2.0.0.0"))}},
        RequestCase{"DependencyMissing", [](PackageRequestTest& t) { return MainNeeding(t, "1.0.0.0"); }, kMissingDependency, {},
                    "Oru.Dep"},
        RequestCase{"DependencyTooOld", [](PackageRequestTest& t) { return MainNeeding(t, "1.3.0.0"); }, kMissingDependency, {},
                    "1.3.0.0", {"1.2.0.0"}},
        RequestCase{"OptionalPackagesWithTheMain",
                    [](PackageRequestTest& t) {
                        packaging::AppInstallerContent request;
                        request.mainPackage = {Id("Oru.Main.App"), t.Package(Id("Oru.Main.App"))};
                        request.optionalPackages = {{Id("Oru.Extra", "neutral"), t.Package(Id("Oru.Extra", "neutral"))},
                                                 {Id("Oru.Extra.Set"), t.Bundle("Oru.Extra.Set", {{"x64", "", {}}}), true}};
                        return request;
                    },
                    0,
                    {Full(Id("Oru.Main.App")), Full(Id("Oru.Extra", "neutral")), Full(Id("Oru.Extra.Set")),
                     BundleFull("Oru.Extra.Set")}},
        RequestCase{"BrokenOptionalPackage",
                    [](PackageRequestTest& t) {
                        packaging::AppInstallerContent request;
                        request.mainPackage = {Id("Oru.Main.App"), t.Package(Id("Oru.Main.App"))};
                        request.optionalPackages = {{Id("Oru.Extra"), t.Package(Id("Oru.Extra"), {}, true)}};
                        return request;
                    },
                    ToHresult(0x80080207), {}, "Oru.Extra"},
        RequestCase{"BrokenResourceInBundle",
                    [](PackageRequestTest& t) {
                        packaging::AppInstallerContent request;
                        request.mainPackage = {Id("Oru.Set"),
                                            t.Bundle("Oru.Set", {{"x64", "", {}}, {"neutral", "split.de", {"de"}, true}}),
                                            true};
                        return request;
                    },
                    ToHresult(0x80080207), {}, "split.de"},
        RequestCase{"UnsignedBundle",
                    [](PackageRequestTest& t) {
                        packaging::AppInstallerContent request;
                        request.mainPackage = {Id("Oru.Set"), t.Bundle("Oru.Set", {{"x64", "", {}}}, false), true};
                        return request;
                    },
                    ToHresult(0x800B0100), {}, "Oru.Set.appxbundle\" is not signed"},
        RequestCase{"SignedBundleOfUnsignedPackages",
                    [](PackageRequestTest& t) {
                        packaging::AppInstallerContent request;
                        request.mainPackage = {
                            Id("Oru.Set"), t.Bundle("Oru.Set", {{"x64", "", {}, false, Signing::Unsigned}}), true};
                        return request;
                    },
                    0, {Full(Id("Oru.Set")), BundleFull("Oru.Set")}},
        RequestCase{"BundledPackageSignedForAnotherPublisher",
                    [](PackageRequestTest& t) {
                        packaging::AppInstallerContent request;
                        request.mainPackage = {
                            Id("Oru.Set"), t.Bundle("Oru.Set", {{"x64", "", {}, false, Signing::ForAnotherPublisher}}),
                            true};
                        return request;
                    },
                    ToHresult(0x8007000B), {}, "Oru.Set.appxbundle/"},
        RequestCase{"FlatBundle",
                    [](PackageRequestTest& t) {
                        packaging::AppInstallerContent request;
                        request.mainPackage = {Id("Oru.Set"), t.Bundle("Oru.Set", {{"x64", "", {}}}, true, true), true};
                        return request;
                    },
                    0, {Full(Id("Oru.Set")), BundleFull("Oru.Set")}},
        RequestCase{"FlatBundleWithoutItsPackage",
                    [](PackageRequestTest& t) {
                        packaging::AppInstallerContent request;
                        request.mainPackage = {Id("Oru.Set"), t.Bundle("Oru.Set", {{"x64", "", {}}}, true, true), true};
                        fs::remove(t.Source() / (Full(Id("Oru.Set")) + ".appx"));
                        return request;
                    },
                    platform::kFileNotFound, {}, Full(Id("Oru.Set")) + ".appx"},
        RequestCase{"FlatBundleOfAnUnsignedPackage",
                    [](PackageRequestTest& t) {
                        packaging::AppInstallerContent request;
                        request.mainPackage = {
                            Id("Oru.Set"), t.Bundle("Oru.Set", {{"x64", "", {}, false, Signing::Unsigned}}, true, true), true};
                        return request;
                    },
                    ToHresult(0x800B0100), {}, "is not signed"},
        RequestCase{"BundleWithoutPackageForTheHost",
                    [](PackageRequestTest& t) {
                        packaging::AppInstallerContent request;
                        request.mainPackage = {Id("Oru.Set"), t.Bundle("Oru.Set", {{"arm64", "", {}}}), true};
                        return request;
                    },
                    kWrongArchitecture, {}, "Oru.Set"},
        RequestCase{"PackageForAnotherArchitecture",
                    [](PackageRequestTest& t) {
                        packaging::AppInstallerContent request;
                        request.mainPackage = {Id("Oru.Main.App", "arm64"), t.Package(Id("Oru.Main.App", "arm64"))};
                        return request;
                    },
                    kWrongArchitecture, {}, "arm64"},
        RequestCase{"PackageForAnotherArchitectureNotNamed",
                    [](PackageRequestTest& t) {
                        packaging::AppInstallerContent request;
                        request.mainPackage = {Id("Oru.Main.App", ""), t.Package(Id("Oru.Main.App", "x86a64"))};
                        return request;
                    },
                    kWrongArchitecture, {}, "x86a64"},
        RequestCase{"ArchitectureNotNamed",
                    [](PackageRequestTest& t) {
                        packaging::AppInstallerContent request;
                        request.mainPackage = {Id("Oru.Main.App", ""), t.Package(Id("Oru.Main.App"))};
                        return request;
                    },
                    0, {Full(Id("Oru.Main.App"))}}),
    [](const testing::TestParamInfo<RequestCase>& info) { return info.param.name; });

}  // namespace
