// The package writer's output checked by an independent implementation of the
// format's signing: osslsigncode must sign every layout and verify what it
// signed, and the store must install the signed package when it trusts the
// peer's certificate.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/deployment/local/extract/ExtractPackage.h"
#include "tests/support/PeerSigner.h"
#include "tests/support/StoreTesting.h"
#include "tools/packaging/PackageWriter.h"

namespace platform::deployment::local {
namespace {

namespace fs = std::filesystem;
using store_testing::Noise;
using store_testing::ReadFile;

struct PeerCase {
    std::string name;
    packaging::HashMethod method;
    std::string hashName;  // osslsigncode's name of the same method
    std::vector<packaging::PayloadFile> payload;
};

void PrintTo(const PeerCase& value, std::ostream* out) { *out << value.name; }

class PeerSigningTest : public testing::TestWithParam<PeerCase> {
protected:
    // One certificate for every case.
    static void SetUpTestSuite() { s_signer = new test_support::PeerSigner(); }
    static void TearDownTestSuite() {
        delete s_signer;
        s_signer = nullptr;
    }

    static inline test_support::PeerSigner* s_signer = nullptr;
    store_testing::TempDir m_temp;
};

TEST_P(PeerSigningTest, OsslsigncodeSignsAndVerifiesAndTheStoreInstallsTheSignedPackage) {
    if (!s_signer->Skipped().empty()) {
        GTEST_SKIP() << s_signer->Skipped();
    }
    const fs::path unsigned_ = m_temp.Path() / "p.appx";
    const fs::path signed_ = m_temp.Path() / "signed.appx";
    packaging::WritePackage(unsigned_, {"Oru.Peer", "CN=Oru Peer", "1.0.0.0", "x64", ""}, GetParam().payload,
                            {.hashMethod = GetParam().method});
    ASSERT_EQ(s_signer->SignAndVerify(unsigned_, signed_, GetParam().hashName), "");
    const fs::path folder = m_temp.Path() / "installed";
    fs::create_directory(folder);
    auto trusted = std::make_shared<TrustedCertificates>();
    trusted->Add(s_signer->CertificatePem(), L"the peer's certificate");
    ExtractOptions options;
    options.signature = {SignatureCheck::Requirement::Required, trusted};
    ExtractPackage(signed_, folder, options);
    EXPECT_TRUE(fs::is_regular_file(folder / "AppxSignature.p7x"));
    for (const packaging::PayloadFile& file : GetParam().payload) {
        EXPECT_EQ(ReadFile(folder / file.name), std::get<std::string>(file.content)) << file.name;
    }
}

std::vector<packaging::PayloadFile> Mixed() {
    return {{"App.exe", std::string("binary"), true},
            {"Assets/Big Picture.png", Noise(5 * 65536 + 77, 3), false, true},
            {"data/text.txt", std::string(200000, 't'), false},
            {"data/%sign & [brackets]/\xC3\xA4.bin", Noise(65536, 4), false},
            {"empty", std::string(), false}};
}

INSTANTIATE_TEST_SUITE_P(Layouts, PeerSigningTest,
                         testing::Values(PeerCase{"Sha256", packaging::HashMethod::Sha256, "sha256", Mixed()},
                                         PeerCase{"Sha384", packaging::HashMethod::Sha384, "sha384", Mixed()},
                                         PeerCase{"Sha512", packaging::HashMethod::Sha512, "sha512", Mixed()},
                                         PeerCase{"OnlyTheManifest", packaging::HashMethod::Sha256, "sha256", {}}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace platform::deployment::local
