// What the writer signs, osslsigncode (an implementation of this format's
// signing none of us wrote) verifies against the test authority's root; a
// signer that cannot sign leaves an existing file as it was; appxpack's
// signing options reach the writer.
#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/support/PeerSigner.h"
#include "tests/support/RunProcess.h"
#include "tests/support/StoreTesting.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestSigning.h"
#include "tools/packaging/BundleWriter.h"

namespace {

namespace fs = std::filesystem;
using packaging::HashMethod;
using test_support::SigningAuthority;

const char* const kPublisher = "CN=Oru Sample, O=Oru, C=US";

packaging::Identity Identity(const std::string& architecture = "neutral") {
    return {"Oru.Signed.App", kPublisher, "1.0.0.0", architecture, ""};
}

enum class Layout { Package, PackageWithCatalog, Bundle };

struct PeerCase {
    std::string name;
    HashMethod method;
    Layout layout;
};

class SignedByWriterTest : public testing::TestWithParam<PeerCase> {
protected:
    static void SetUpTestSuite() { s_peer = new test_support::PeerSigner(); }
    static void TearDownTestSuite() {
        delete s_peer;
        s_peer = nullptr;
    }

    static inline test_support::PeerSigner* s_peer = nullptr;
    store_testing::TempDir m_dir;
};

TEST_P(SignedByWriterTest, PeerVerifiesIt) {
    if (!s_peer->Skipped().empty()) {
        GTEST_SKIP() << s_peer->Skipped();
    }
    const PeerCase& row = GetParam();
    const packaging::PackageOptions options{row.method, SigningAuthority::Shared().SignerFor(kPublisher)};
    // Files of several blocks, so that every part's digest covers more than one block.
    std::vector<packaging::PayloadFile> payload{{"bin/app", store_testing::Noise(150000, 3), true},
                                                {"readme.txt", std::string("signed"), false}};
    if (row.layout == Layout::PackageWithCatalog) {
        payload.push_back({"AppxMetadata/CodeIntegrity.cat", store_testing::Noise(3000, 5), false});
    }
    fs::path file = m_dir / "App.appx";
    if (row.layout == Layout::Bundle) {
        const fs::path inner = m_dir / "App_x64.appx";
        packaging::WritePackage(inner, Identity("x64"), payload, options);
        file = m_dir / "App.appxbundle";
        packaging::WriteBundle(file, Identity(), {{inner, Identity("x64"), true, {}}}, options);
    } else {
        packaging::WritePackage(file, Identity(), payload, options);
    }
    EXPECT_EQ(s_peer->Verify(file, SigningAuthority::Shared().RootPem()), "");
    // Trust comes from that root alone.
    EXPECT_NE(s_peer->Verify(file, test_support::TestAuthority().CertificatePem()), "");
}

INSTANTIATE_TEST_SUITE_P(
    HashMethodsAndLayouts, SignedByWriterTest,
    testing::Values(PeerCase{"Sha256Package", HashMethod::Sha256, Layout::Package},
                    PeerCase{"Sha384Package", HashMethod::Sha384, Layout::Package},
                    PeerCase{"Sha512Package", HashMethod::Sha512, Layout::Package},
                    PeerCase{"Sha256PackageWithCatalog", HashMethod::Sha256, Layout::PackageWithCatalog},
                    PeerCase{"Sha256Bundle", HashMethod::Sha256, Layout::Bundle},
                    PeerCase{"Sha512Bundle", HashMethod::Sha512, Layout::Bundle}),
    [](const testing::TestParamInfo<PeerCase>& info) { return info.param.name; });

struct BadSignerCase {
    std::string name;
    packaging::Signer (*signer)();
};

class BadSignerTest : public testing::TestWithParam<BadSignerCase> {};

TEST_P(BadSignerTest, NothingIsReplaced) {
    const store_testing::TempDir dir;
    const packaging::PackageOptions options{HashMethod::Sha256, GetParam().signer()};
    for (const bool bundle : {false, true}) {
        const fs::path file = dir / (bundle ? "App.appxbundle" : "App.appx");
        packaging::WriteFile(file, "earlier");
        if (bundle) {
            packaging::WritePackage(dir / "Inner.appx", Identity("x64"), {});
            EXPECT_THROW(packaging::WriteBundle(file, Identity(), {{dir / "Inner.appx", Identity("x64"), true, {}}}, options),
                         std::runtime_error);
        } else {
            EXPECT_THROW(packaging::WritePackage(file, Identity(), {}, options), std::runtime_error);
        }
        EXPECT_EQ(store_testing::ReadFile(file), "earlier") << file;
    }
}

packaging::Signer Good() { return SigningAuthority::Shared().SignerFor(kPublisher); }

INSTANTIATE_TEST_SUITE_P(
    Signers, BadSignerTest,
    testing::Values(BadSignerCase{"KeyOfAnotherCertificate",
                                  [] {
                                      packaging::Signer signer = Good();
                                      signer.certificatePem = SigningAuthority::Shared().IntermediatePem();
                                      return signer;
                                  }},
                    BadSignerCase{"NoKey",
                                  [] {
                                      packaging::Signer signer = Good();
                                      signer.privateKeyPem.clear();
                                      return signer;
                                  }},
                    BadSignerCase{"CertificateNotPem",
                                  [] {
                                      packaging::Signer signer = Good();
                                      signer.certificatePem = "CN=Oru Sample";
                                      return signer;
                                  }},
                    BadSignerCase{"ChainNotPem",
                                  [] {
                                      packaging::Signer signer = Good();
                                      signer.chainPem.push_back("not a certificate");
                                      return signer;
                                  }}),
    [](const testing::TestParamInfo<BadSignerCase>& info) { return info.param.name; });

struct AppxpackCase {
    std::string name;
    bool withKey;
    bool keyOfAnotherCertificate;
    std::string error;  // empty: signs
};

class AppxpackSigningTest : public testing::TestWithParam<AppxpackCase> {};

TEST_P(AppxpackSigningTest, SignsOrSaysWhy) {
    const AppxpackCase& row = GetParam();
    const store_testing::TempDir dir;
    const packaging::Signer signer = Good();
    packaging::WriteFile(dir / "cert.pem", row.keyOfAnotherCertificate ? signer.chainPem.front() : signer.certificatePem);
    packaging::WriteFile(dir / "key.pem", signer.privateKeyPem);
    packaging::WriteFile(dir / "chain.pem", signer.chainPem.front());
    fs::create_directory(dir / "source");
    packaging::WriteFile(dir / "source" / "readme.txt", "signed");
    std::vector<std::string> args{"--name", "Oru.Signed.App", "--publisher", kPublisher, "--version", "1.0.0.0",
                                  "--out", (dir / "App.appx").string(), "--sign-cert", (dir / "cert.pem").string(),
                                  "--sign-chain", (dir / "chain.pem").string(), (dir / "source").string()};
    if (row.withKey) {
        args.insert(args.end() - 1, {"--sign-key", (dir / "key.pem").string()});
    }
    const test_support::ProcessResult result = test_support::RunProcess(APPXPACK_EXE, args);
    if (!row.error.empty()) {
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.err, "appxpack: " + row.error + "\n");
        EXPECT_FALSE(fs::exists(dir / "App.appx"));
        return;
    }
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const test_support::PeerSigner peer;
    if (!peer.Skipped().empty()) {
        GTEST_SKIP() << peer.Skipped();
    }
    EXPECT_EQ(peer.Verify(dir / "App.appx", SigningAuthority::Shared().RootPem()), "");
}

INSTANTIATE_TEST_SUITE_P(
    Options, AppxpackSigningTest,
    testing::Values(AppxpackCase{"CertificateKeyAndChain", true, false, ""},
                    AppxpackCase{"NoKey", false, false, "signing needs both --sign-cert and --sign-key"},
                    AppxpackCase{"KeyOfAnotherCertificate", true, true,
                                 "the signing key does not belong to the signing certificate"}),
    [](const testing::TestParamInfo<AppxpackCase>& info) { return info.param.name; });

}  // namespace
