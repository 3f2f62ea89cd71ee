// Bundles as the writer makes them: each package where the bundle manifest
// says it is, and a layout that an independent signer accepts.
#include <gtest/gtest.h>

#include <fstream>

#include <pugixml.hpp>
#include <zip.h>

#include <algorithm>

#include "tests/support/PeerSigner.h"
#include "tests/support/StoreTesting.h"
#include "tools/packaging/BundleWriter.h"

namespace {

namespace fs = std::filesystem;

class BundleWriterTest : public testing::Test {
protected:
    void SetUp() override {
        for (const auto& [architecture, size] : {std::pair{"x64", 200000}, std::pair{"arm64", 70000}}) {
            packaging::Identity identity{"Oru.Bundled.App", "CN=Oru Sample", "1.0.0.0", architecture, ""};
            const fs::path file = m_dir / (std::string("App_") + architecture + ".appx");
            packaging::WritePackage(file, identity,
                                    {{"bin/app", store_testing::Noise(static_cast<std::size_t>(size), 7), true}});
            m_packages.push_back({file, identity, true, {}});
        }
        packaging::WriteBundle(m_bundle, {"Oru.Bundled.App", "CN=Oru Sample", "1.0.0.0", "neutral", ""}, m_packages);
    }

    store_testing::TempDir m_dir;
    fs::path m_bundle = m_dir / "App.appxbundle";
    std::vector<packaging::BundledPackageFile> m_packages;
};

TEST_F(BundleWriterTest, ManifestGivesWhereEachPackageIsStored) {
    const std::string bundle = store_testing::ReadFile(m_bundle);
    int error = 0;
    zip_t* archive = zip_open(m_bundle.c_str(), ZIP_RDONLY, &error);
    ASSERT_NE(archive, nullptr);
    zip_file_t* entry = zip_fopen(archive, "AppxMetadata/AppxBundleManifest.xml", 0);
    ASSERT_NE(entry, nullptr);
    std::string manifest(1 << 20, '\0');
    manifest.resize(static_cast<std::size_t>(std::max<zip_int64_t>(0, zip_fread(entry, manifest.data(), manifest.size()))));
    zip_fclose(entry);
    zip_discard(archive);
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(manifest.c_str()));
    std::size_t index = 0;
    for (const auto& package : document.child("Bundle").child("Packages").children("Package")) {
        ASSERT_LT(index, m_packages.size());
        const auto offset = package.attribute("Offset").as_ullong();
        const auto size = package.attribute("Size").as_ullong();
        EXPECT_EQ(bundle.substr(offset, size), store_testing::ReadFile(m_packages[index].file))
            << package.attribute("FileName").value();
        ++index;
    }
    EXPECT_EQ(index, m_packages.size());
}

// The packer's bundle manifest: tab-indented lines, and with each package what
// its own manifest says it applies to (unless languages are given for it).
TEST(BundleManifestTest, CopiesWhatEachPackageAppliesTo) {
    const store_testing::TempDir dir;
    const packaging::Identity identity{"Oru.Bundled.App", "CN=Oru Sample", "1.0.0.0", "x64", ""};
    packaging::WritePackageWithManifest(
        dir / "App.appx",
        std::string(
            "<Package xmlns=\"http://schemas.microsoft.com/appx/manifest/foundation/windows10\" "
            "xmlns:uap=\"http://schemas.microsoft.com/appx/manifest/uap/windows10\"><Identity Name=\"Oru.Bundled.App\" "
            "Publisher=\"CN=Oru Sample\" Version=\"1.0.0.0\" ProcessorArchitecture=\"x64\"/><Dependencies>"
            "<TargetDeviceFamily Name=\"Windows.Desktop\" MinVersion=\"10.0.17763.0\" "
            "MaxVersionTested=\"10.0.19041.0\"/>"
            "<PackageDependency Name=\"Oru.Lib\" Publisher=\"CN=Oru Sample\" MinVersion=\"1.0.0.0\"/></Dependencies>"
            "<Resources><Resource Language=\"en-us\"/><Resource uap:Scale=\"200\"/></Resources></Package>"),
        {});
    packaging::WritePackage(dir / "App_de.appx", {"Oru.Bundled.App", "CN=Oru Sample", "1.0.0.0", "neutral", "de"}, {});
    packaging::WriteBundle(
        dir / "App.appxbundle", identity,
        {{dir / "App.appx", identity, true, {}},
         {dir / "App_de.appx", {"Oru.Bundled.App", "CN=Oru Sample", "1.0.0.0", "neutral", "de"}, false, {"de-DE"}}});
    const auto ranges = packaging::StoredRanges(dir / "App.appxbundle", {"App.appx", "App_de.appx"});
    EXPECT_EQ(
        packaging::ReadZipEntry(dir / "App.appxbundle", "AppxMetadata/AppxBundleManifest.xml"),
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n"
        "<Bundle xmlns=\"http://schemas.microsoft.com/appx/2013/bundle\" SchemaVersion=\"5.0\" "
        "xmlns:b4=\"http://schemas.microsoft.com/appx/2018/bundle\" "
        "xmlns:b5=\"http://schemas.microsoft.com/appx/2019/bundle\" IgnorableNamespaces=\"b4 b5\">\r\n"
        "\t<Identity Name=\"Oru.Bundled.App\" Publisher=\"CN=Oru Sample\" Version=\"1.0.0.0\"/>\r\n"
        "\t<Packages>\r\n"
        "\t\t<Package Type=\"application\" Version=\"1.0.0.0\" Architecture=\"x64\" FileName=\"App.appx\" Offset=\"" +
            std::to_string(ranges[0].offset) + "\" Size=\"" + std::to_string(ranges[0].size) +
            "\">\r\n"
            "\t\t\t<Resources>\r\n"
            "\t\t\t\t<Resource Language=\"en-us\"/>\r\n"
            "\t\t\t\t<Resource Scale=\"200\"/>\r\n"
            "\t\t\t</Resources>\r\n"
            "\t\t\t<b4:Dependencies>\r\n"
            "\t\t\t\t<b4:TargetDeviceFamily Name=\"Windows.Desktop\" MinVersion=\"10.0.17763.0\" "
            "MaxVersionTested=\"10.0.19041.0\"/>\r\n"
            "\t\t\t</b4:Dependencies>\r\n"
            "\t\t</Package>\r\n"
            "\t\t<Package Type=\"resource\" Version=\"1.0.0.0\" Architecture=\"neutral\" ResourceId=\"de\" "
            "FileName=\"App_de.appx\" Offset=\"" +
            std::to_string(ranges[1].offset) + "\" Size=\"" + std::to_string(ranges[1].size) +
            "\">\r\n"
            "\t\t\t<Resources>\r\n"
            "\t\t\t\t<Resource Language=\"de-DE\"/>\r\n"
            "\t\t\t</Resources>\r\n"
            "\t\t</Package>\r\n"
            "\t</Packages>\r\n"
            "</Bundle>");
}

// osslsigncode (an implementation of this format's signing none of us wrote)
// reads the bundle's ZIP layout, block map and content types to sign it.
TEST_F(BundleWriterTest, IndependentSignerSignsAndVerifiesIt) {
    const test_support::PeerSigner signer("/CN=Oru Sample");
    if (!signer.Skipped().empty()) {
        GTEST_SKIP() << signer.Skipped();
    }
    EXPECT_EQ(signer.SignAndVerify(m_bundle, m_dir / "signed.appxbundle"), "");
}

}  // namespace
