// The package writer's output checked by an independent implementation of the
// format's signing: osslsigncode must sign every layout and verify what it
// signed, and the store must still install the signed package.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/deployment/local/extract/ExtractPackage.h"
#include "tests/support/RunProcess.h"
#include "tests/support/StoreTesting.h"
#include "tools/packaging/PackageWriter.h"

namespace platform::deployment::local {
namespace {

namespace fs = std::filesystem;
using store_testing::Noise;
using store_testing::ReadFile;
using test_support::RunProcess;

// The program's path as the shell would find it, or empty.
std::string FindProgram(const std::string& program) {
    const char* path = std::getenv("PATH");
    const std::string directories = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= directories.size();) {
        const auto end = std::min(directories.find(':', start), directories.size());
        const std::string candidate = directories.substr(start, end - start) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

struct PeerCase {
    std::string name;
    packaging::HashMethod method;
    std::vector<packaging::PayloadFile> payload;
};

void PrintTo(const PeerCase& value, std::ostream* out) { *out << value.name; }

class PeerSigningTest : public testing::TestWithParam<PeerCase> {
protected:
    // One self-signed code signing certificate for every case.
    static void SetUpTestSuite() {
        s_osslsigncode = FindProgram("osslsigncode");
        const std::string openssl = FindProgram("openssl");
        if (s_osslsigncode.empty() || openssl.empty()) {
            return;
        }
        s_keys = new store_testing::TempDir();
        const auto result = RunProcess(
            openssl, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Oru Peer", "-addext",
                      "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature", "-keyout",
                      (s_keys->Path() / "key.pem").string(), "-out", (s_keys->Path() / "cert.pem").string()});
        if (result.exitStatus != 0) {
            s_keyFailure = result.err;
        }
    }
    static void TearDownTestSuite() {
        delete s_keys;
        s_keys = nullptr;
    }

    static inline std::string s_osslsigncode;
    static inline store_testing::TempDir* s_keys = nullptr;
    static inline std::string s_keyFailure;
    store_testing::TempDir m_temp;
};

TEST_P(PeerSigningTest, OsslsigncodeSignsAndVerifiesAndTheStoreInstallsTheSignedPackage) {
    if (s_keys == nullptr) {
        GTEST_SKIP() << "osslsigncode or openssl is not installed (scripts/install-packages installs them)";
    }
    ASSERT_TRUE(s_keyFailure.empty()) << "openssl could not make a certificate: " << s_keyFailure;
    const fs::path unsigned_ = m_temp.Path() / "p.appx";
    const fs::path signed_ = m_temp.Path() / "signed.appx";
    packaging::WritePackage(unsigned_, {"Oru.Peer", "CN=Oru Peer", "1.0.0.0", "x64", ""}, GetParam().payload,
                            {.hashMethod = GetParam().method});

    const auto sign = RunProcess(s_osslsigncode, {"sign", "-certs", (s_keys->Path() / "cert.pem").string(), "-key",
                                                  (s_keys->Path() / "key.pem").string(), "-in", unsigned_.string(),
                                                  "-out", signed_.string()});
    ASSERT_EQ(sign.exitStatus, 0) << sign.out << sign.err;
    const auto verify = RunProcess(s_osslsigncode, {"verify", "-CAfile", (s_keys->Path() / "cert.pem").string(),
                                                    "-in", signed_.string()});
    ASSERT_EQ(verify.exitStatus, 0) << verify.out << verify.err;
    EXPECT_NE(verify.out.find("Signature verification: ok"), std::string::npos) << verify.out;

    const fs::path folder = m_temp.Path() / "installed";
    fs::create_directory(folder);
    ExtractPackage(signed_, folder);
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
                         testing::Values(PeerCase{"Sha256", packaging::HashMethod::Sha256, Mixed()},
                                         PeerCase{"Sha384", packaging::HashMethod::Sha384, Mixed()},
                                         PeerCase{"Sha512", packaging::HashMethod::Sha512, Mixed()},
                                         PeerCase{"OnlyTheManifest", packaging::HashMethod::Sha256, {}}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace platform::deployment::local
