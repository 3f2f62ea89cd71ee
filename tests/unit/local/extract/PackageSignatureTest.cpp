// Signatures checked against packages that osslsigncode, an implementation of
// the format's signing that none of us wrote, signed: refused when its
// certificate is not trusted, when the package was altered after signing or
// when the signature cannot be read. Then trust, validity, usage and publisher
// with packages our writer signs for the test authority.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <zip.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/extract/BundleFile.h"
#include "platform/deployment/local/extract/ExtractPackage.h"
#include "tests/support/PeerSigner.h"
#include "tests/support/Raised.h"
#include "tests/support/StoreTesting.h"
#include "tests/support/TestSigning.h"
#include "tools/packaging/BundleWriter.h"
#include "tools/packaging/PackageWriter.h"

namespace platform::deployment::local {
namespace {

namespace fs = std::filesystem;
using store_testing::Noise;
using store_testing::ReadFile;

constexpr const char* kPeerPublisher = "CN=Oru Peer";

packaging::Identity PeerIdentity(const std::string& publisher = kPeerPublisher) {
    return {"Oru.Peer", publisher, "1.0.0.0", "x64", ""};
}

std::vector<packaging::PayloadFile> Payload(char last = 'a') {
    return {{"App.exe", std::string("binary"), true},
            {"Assets/Big Picture.png", Noise(3 * 65536 + 77, 3) + last, false, true},
            {"data/text.txt", std::string(100000, 't'), false}};
}

std::string HashName(packaging::HashMethod method) {
    switch (method) {
        case packaging::HashMethod::Sha384:
            return "sha384";
        case packaging::HashMethod::Sha512:
            return "sha512";
        case packaging::HashMethod::Sha256:
            break;
    }
    return "sha256";
}

// The whole of an entry, or of its replacement: what libzip reads back.
std::string EntryOf(const fs::path& file, const std::string& name) {
    int error = 0;
    zip_t* archive = zip_open(file.c_str(), ZIP_RDONLY, &error);
    EXPECT_NE(archive, nullptr);
    zip_stat_t stat;
    zip_stat_init(&stat);
    std::string bytes;
    if (archive != nullptr && zip_stat(archive, name.c_str(), 0, &stat) == 0) {
        bytes.resize(stat.size);
        zip_file_t* entry = zip_fopen(archive, name.c_str(), 0);
        EXPECT_EQ(zip_fread(entry, bytes.data(), bytes.size()), static_cast<zip_int64_t>(bytes.size()));
        zip_fclose(entry);
    }
    zip_discard(archive);
    return bytes;
}

// Entries replaced or added (at the end) by libzip, which keeps the others in order.
void ReplaceEntries(const fs::path& file, const std::map<std::string, std::string>& entries) {
    int error = 0;
    zip_t* archive = zip_open(file.c_str(), 0, &error);
    ASSERT_NE(archive, nullptr);
    for (const auto& [name, bytes] : entries) {
        zip_source_t* source = zip_source_buffer(archive, bytes.data(), bytes.size(), 0);
        const zip_int64_t index = zip_name_locate(archive, name.c_str(), 0);
        ASSERT_EQ(index >= 0 ? zip_file_replace(archive, static_cast<zip_uint64_t>(index), source, 0)
                             : zip_file_add(archive, name.c_str(), source, 0) >= 0 ? 0 : -1,
                  0)
            << name;
    }
    ASSERT_EQ(zip_close(archive), 0) << zip_strerror(archive);
}

// Changes the version of the format that the first central directory record
// says made its entry, which nothing but the central directory's digest covers.
void TouchCentralDirectory(const fs::path& file) {
    std::string bytes = ReadFile(file);
    const auto record = bytes.find(std::string("PK\x01\x02", 4));
    ASSERT_NE(record, std::string::npos);
    bytes[record + 4] = static_cast<char>(bytes[record + 4] ^ 0x01);
    packaging::WriteFile(file, bytes);
}

// A byte only the digest of the bytes before the signature covers: the first
// local header's version needed to extract, lowered (readers accept a local
// header that asks for less than the directory says).
void LowerFirstVersionNeeded(const fs::path& file) {
    std::string bytes = ReadFile(file);
    ASSERT_EQ(bytes.substr(0, 4), std::string("PK\x03\x04", 4));
    ASSERT_GT(static_cast<unsigned char>(bytes[4]), 10);
    bytes[4] = static_cast<char>(bytes[4] - 1);
    packaging::WriteFile(file, bytes);
}

class PackageSignatureTest : public testing::Test {
protected:
    static void SetUpTestSuite() { s_peer = new test_support::PeerSigner(); }
    static void TearDownTestSuite() {
        delete s_peer;
        s_peer = nullptr;
    }

    void SetUp() override {
        if (!s_peer->Skipped().empty()) {
            GTEST_SKIP() << s_peer->Skipped();
        }
    }

public:
    // A package the peer signed: its payload, publisher and hash method as given.
    fs::path Signed(const std::string& name, packaging::HashMethod method = packaging::HashMethod::Sha256,
                    const std::string& publisher = kPeerPublisher, const std::string& signingHash = "") {
        const fs::path unsigned_ = Unsigned(name + ".unsigned", Payload(), method, publisher);
        const fs::path signed_ = m_temp.Path() / (name + ".appx");
        EXPECT_EQ(s_peer->SignAndVerify(unsigned_, signed_, signingHash.empty() ? HashName(method) : signingHash), "");
        return signed_;
    }

    fs::path Unsigned(const std::string& name, const std::vector<packaging::PayloadFile>& payload,
                      packaging::HashMethod method = packaging::HashMethod::Sha256,
                      const std::string& publisher = kPeerPublisher) {
        const fs::path file = m_temp.Path() / (name + ".appx");
        packaging::WritePackage(file, PeerIdentity(publisher), payload, {.hashMethod = method});
        return file;
    }

protected:
    ExtractOptions Trusting(bool trustPeer = true) const {
        auto trusted = std::make_shared<TrustedCertificates>();
        if (trustPeer) {
            trusted->Add(s_peer->CertificatePem(), L"the peer's certificate");
        }
        ExtractOptions options;
        options.signature = SignatureCheck{SignatureCheck::Requirement::Required, std::move(trusted)};
        return options;
    }

    test_support::Raised Install(const fs::path& package, const ExtractOptions& options) {
        const fs::path folder = m_temp.Path() / ("installed-" + std::to_string(++m_installs));
        fs::create_directory(folder);
        return test_support::FailureOf([&] { ExtractPackage(package, folder, options); });
    }

    static inline test_support::PeerSigner* s_peer = nullptr;
    store_testing::TempDir m_temp;
    int m_installs = 0;
};

struct Refusal {
    std::string name;
    // Makes the package to install from the peer-signed one (in the same folder).
    std::function<fs::path(const fs::path& signed_, PackageSignatureTest& test)> make;
    bool trustPeer;
    hresult code;
    std::wstring fault;  // part of the error text
    // Refused before any payload is written; otherwise once it has been read
    // (the caller then deletes what was written).
    bool beforePayload = true;
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class PackageSignatureRefusalTest : public PackageSignatureTest, public testing::WithParamInterface<Refusal> {};

TEST_P(PackageSignatureRefusalTest, IsRefusedWithItsCode) {
    const fs::path signed_ = Signed("peer");
    const fs::path package = GetParam().make(signed_, *this);
    const auto failure = Install(package, Trusting(GetParam().trustPeer));
    EXPECT_EQ(failure.code, GetParam().code) << testing::PrintToString(failure.text);
    EXPECT_NE(failure.text.find(package.filename().wstring()), std::wstring::npos) << testing::PrintToString(failure.text);
    EXPECT_NE(failure.text.find(GetParam().fault), std::wstring::npos) << testing::PrintToString(failure.text);
    if (GetParam().beforePayload) {
        EXPECT_FALSE(fs::exists(m_temp.Path() / "installed-1" / "App.exe"));
    }
}

fs::path Same(const fs::path& signed_, PackageSignatureTest&) { return signed_; }

// The peer's signature (with the content types that give it its type), moved onto another unsigned package.
fs::path SignatureMovedTo(const fs::path& signed_, const fs::path& other) {
    ReplaceEntries(other, {{"[Content_Types].xml", EntryOf(signed_, "[Content_Types].xml")},
                           {"AppxSignature.p7x", EntryOf(signed_, "AppxSignature.p7x")}});
    return other;
}

// An entry rewritten with the same meaning in other bytes.
std::function<fs::path(const fs::path&, PackageSignatureTest&)> Rewritten(const std::string& name) {
    return [name](const fs::path& signed_, PackageSignatureTest&) {
        ReplaceEntries(signed_, {{name, EntryOf(signed_, name) + "\n"}});
        return signed_;
    };
}

INSTANTIATE_TEST_SUITE_P(
    Peer, PackageSignatureRefusalTest,
    testing::Values(
        Refusal{"Unsigned",
                [](const fs::path&, PackageSignatureTest& test) {
                    return test.Unsigned("plain", Payload());
                },
                true, kNoSignature, L"is not signed"},
        Refusal{"Untrusted", Same, false, kUntrustedRoot, L"does not trust"},
        Refusal{"PayloadByteWithItsBlockHashFixed",
                [](const fs::path& signed_, PackageSignatureTest& test) {
                    return SignatureMovedTo(signed_,
                                            test.Unsigned("changed", Payload('b')));
                },
                true, kBadDigest, L"does not match its signature"},
        Refusal{"ContentTypes", Rewritten("[Content_Types].xml"), true, kBadDigest, L"does not match its signature"},
        Refusal{"BlockMap", Rewritten("AppxBlockMap.xml"), true, kBadDigest, L"does not match its signature"},
        Refusal{"CentralDirectory",
                [](const fs::path& signed_, PackageSignatureTest&) {
                    TouchCentralDirectory(signed_);
                    return signed_;
                },
                true, kBadDigest, L"the central directory has another digest"},
        Refusal{"BytesBeforeTheSignature",
                [](const fs::path& signed_, PackageSignatureTest&) {
                    LowerFirstVersionNeeded(signed_);
                    return signed_;
                },
                true, kBadDigest, L"the package's bytes before the signature has another digest", false},
        Refusal{"GarbageSignature",
                [](const fs::path& signed_, PackageSignatureTest&) {
                    ReplaceEntries(signed_, {{"AppxSignature.p7x", "PKCX" + std::string(300, 'x')}});
                    return signed_;
                },
                true, kMalformedSignature, L"PKCS #7"},
        Refusal{"TruncatedSignature",
                [](const fs::path& signed_, PackageSignatureTest&) {
                    const std::string signature = EntryOf(signed_, "AppxSignature.p7x");
                    ReplaceEntries(signed_, {{"AppxSignature.p7x", signature.substr(0, signature.size() - 9)}});
                    return signed_;
                },
                true, kMalformedSignature, L"The signature file"}),
    [](const auto& info) { return info.param.name; });

TEST_F(PackageSignatureTest, RefusesAPublisherThatIsNotTheSigner) {
    const fs::path package = Signed("other", packaging::HashMethod::Sha256, "CN=Oru Other");
    const auto failure = Install(package, Trusting());
    EXPECT_EQ(failure.code, kBadFormat) << testing::PrintToString(failure.text);
    EXPECT_NE(failure.text.find(L"\"CN=Oru Other\", but its signing certificate's subject is \"CN=Oru Peer\""),
              std::wstring::npos)
        << testing::PrintToString(failure.text);
}

TEST_F(PackageSignatureTest, RefusesADigestAlgorithmOtherThanTheBlockMapsHashMethod) {
    // osslsigncode follows the block map whatever it is told; the block map is then replaced by one of another method.
    const fs::path sha512 = Signed("sha512", packaging::HashMethod::Sha512);
    const fs::path sha256 = Unsigned("sha256", Payload());
    ReplaceEntries(sha512, {{"AppxBlockMap.xml", EntryOf(sha256, "AppxBlockMap.xml")}});
    const auto failure = Install(sha512, Trusting());
    EXPECT_EQ(failure.code, kBadDigest) << testing::PrintToString(failure.text);
    EXPECT_NE(failure.text.find(L"hash method"), std::wstring::npos) << testing::PrintToString(failure.text);
}


TEST_F(PackageSignatureTest, ABundleThePeerSignsOpensOnlyWhenItsCertificateIsTrusted) {
    for (const auto method : {packaging::HashMethod::Sha256, packaging::HashMethod::Sha512}) {
        SCOPED_TRACE(HashName(method));
        const fs::path inner = Unsigned("inner-" + HashName(method), Payload(), method);
        const fs::path bundle = m_temp.Path() / ("set-" + HashName(method) + ".appxbundle");
        const fs::path signed_ = m_temp.Path() / ("signed-" + HashName(method) + ".appxbundle");
        packaging::WriteBundle(bundle, {"Oru.Peer", kPeerPublisher, "1.0.0.0", "neutral", ""},
                               {{inner, PeerIdentity(), true, {}}}, {.hashMethod = method});
        ASSERT_EQ(s_peer->SignAndVerify(bundle, signed_, HashName(method)), "");
        for (const bool trusted : {true, false}) {
            const auto failure = test_support::FailureOf([&] { BundleFile(signed_, L"", Trusting(trusted).signature); });
            EXPECT_EQ(failure.code, trusted ? kOk : kUntrustedRoot) << testing::PrintToString(failure.text);
        }
        // Its package, unsigned, is covered by the bundle's signature.
        const BundleFile opened(signed_, L"", Trusting().signature);
        const fs::path folder = m_temp.Path() / ("installed-" + HashName(method));
        fs::create_directory(folder);
        EXPECT_EQ(test_support::CodeOf([&] { opened.Extract(opened.Manifest().packages.at(0), folder, Trusting()); }), kOk);
    }
}

// Packages our writer signs with certificates of the test authority (a root,
// an intermediate, code signing certificates the intermediate issues).
struct TrustCase {
    std::string name;
    // The certificates the store trusts, given the signer.
    std::function<std::vector<std::string>(const packaging::Signer& signer)> trusted;
    test_support::CodeSigningCertificateOptions certificate;
    std::string signerPublisher;   // the certificate's subject
    std::string packagePublisher;  // the manifest's Publisher
    hresult code;
    std::wstring fault;  // part of the error text
};

void PrintTo(const TrustCase& value, std::ostream* out) { *out << value.name; }

class PackageTrustTest : public testing::TestWithParam<TrustCase> {
protected:
    store_testing::TempDir m_temp;
};

TEST_P(PackageTrustTest, InstallsOnlyWhatATrustedCertificateVouchesFor) {
    const auto& authority = test_support::SigningAuthority::Shared();
    const packaging::Signer signer = authority.SignerFor(GetParam().signerPublisher, GetParam().certificate);
    packaging::Identity identity = PeerIdentity(GetParam().packagePublisher);
    const fs::path package = m_temp.Path() / "p.appx";
    packaging::WritePackage(package, identity, Payload(), {packaging::HashMethod::Sha256, signer});
    ExtractOptions options;
    auto trusted = std::make_shared<TrustedCertificates>();
    for (const std::string& pem : GetParam().trusted(signer)) {
        trusted->Add(pem, L"a test certificate");
    }
    options.signature = {SignatureCheck::Requirement::Required, trusted};
    const fs::path folder = m_temp.Path() / "installed";
    fs::create_directory(folder);
    const auto failure = test_support::FailureOf([&] { ExtractPackage(package, folder, options); });
    EXPECT_EQ(failure.code, GetParam().code) << testing::PrintToString(failure.text);
    EXPECT_NE(failure.text.find(GetParam().fault), std::wstring::npos) << testing::PrintToString(failure.text);
    EXPECT_EQ(fs::exists(folder / "App.exe"), GetParam().code == kOk);
}

std::vector<std::string> Root(const packaging::Signer&) { return {test_support::SigningAuthority::Shared().RootPem()}; }

constexpr const char* kSample = "CN=Oru Sample, O=Oru, C=US";

INSTANTIATE_TEST_SUITE_P(
    Authority, PackageTrustTest,
    testing::Values(
        TrustCase{"TrustedRoot", Root, {}, kSample, kSample, kOk, L""},
        TrustCase{"TrustedIntermediate",
                  [](const packaging::Signer&) {
                      return std::vector{test_support::SigningAuthority::Shared().IntermediatePem()};
                  },
                  {}, kSample, kSample, kOk, L""},
        TrustCase{"TrustedSigningCertificateItself",
                  [](const packaging::Signer& signer) { return std::vector{signer.certificatePem}; }, {}, kSample,
                  kSample, kOk, L""},
        TrustCase{"PublisherWrittenWithOtherSpacingAndKeyCase", Root, {}, kSample, "cn=Oru Sample,O=Oru,  C = US",
                  kBadFormat, L"subject is \"CN=Oru Sample, O=Oru, C=US\""},
        TrustCase{"QuotedPublisher", Root, {}, "CN=\"Oru, Sample\", O=Oru, C=US", "CN=\"Oru, Sample\", O=Oru, C=US",
                  kOk, L""},
        TrustCase{"NothingTrusted", [](const packaging::Signer&) { return std::vector<std::string>{}; }, {}, kSample,
                  kSample, kUntrustedRoot, L"does not trust"},
        TrustCase{"Expired", Root, {.notBefore = -std::chrono::hours(48), .notAfter = -std::chrono::hours(24)},
                  kSample, kSample, kCertificateExpired, L"validity period"},
        TrustCase{"NotYetValid", Root, {.notBefore = std::chrono::hours(24), .notAfter = std::chrono::hours(48)},
                  kSample, kSample, kCertificateExpired, L"validity period"},
        TrustCase{"NotForCodeSigning", Root, {.codeSigningUsage = false}, kSample, kSample, kWrongUsage,
                  L"not for code signing"},
        TrustCase{"PublisherNotTheSigner", Root, {}, "CN=Oru Other, O=Oru, C=US", kSample, kBadFormat,
                  L"its signing certificate's subject is \"CN=Oru Other, O=Oru, C=US\""},
        TrustCase{"PublisherInTheOtherOrder", Root, {}, kSample, "C=US, O=Oru, CN=Oru Sample", kBadFormat,
                  L"names the publisher \"C=US, O=Oru, CN=Oru Sample\""},
        TrustCase{"PublisherWithAnExtraName", Root, {}, kSample, "CN=Oru Sample, OU=Apps, O=Oru, C=US", kBadFormat,
                  L"subject is \"CN=Oru Sample, O=Oru, C=US\""}),
    [](const auto& info) { return info.param.name; });

// The store's trusted/ folder as an administrator fills it.
struct FolderCase {
    std::string name;
    std::function<void(const fs::path& folder)> fill;
    hresult code;
    std::wstring fault;  // part of the error text
};

void PrintTo(const FolderCase& value, std::ostream* out) { *out << value.name; }

class TrustedFolderTest : public testing::TestWithParam<FolderCase> {
protected:
    store_testing::TempDir m_temp;
};

TEST_P(TrustedFolderTest, TrustsEveryCertificateItHoldsAndNothingElse) {
    const fs::path package = m_temp.Path() / "p.appx";
    store_testing::WriteSignedPackage(package, store_testing::SampleIdentity(), Payload());
    const fs::path folder = m_temp.Path() / "trusted";
    GetParam().fill(folder);
    const fs::path installed = m_temp.Path() / "installed";
    fs::create_directory(installed);
    const auto failure = test_support::FailureOf([&] {
        ExtractOptions options;
        options.signature = {SignatureCheck::Requirement::Required, TrustedCertificates::FromFolder(folder)};
        ExtractPackage(package, installed, options);
    });
    EXPECT_EQ(failure.code, GetParam().code) << testing::PrintToString(failure.text);
    EXPECT_NE(failure.text.find(GetParam().fault), std::wstring::npos) << testing::PrintToString(failure.text);
}

std::string RootDer() {
    const std::string pem = test_support::SigningAuthority::Shared().RootPem();
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(std::max(length, 0)));
    OPENSSL_free(der);
    X509_free(certificate);
    BIO_free(bio);
    return bytes;
}

void Put(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    packaging::WriteFile(file, bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Files, TrustedFolderTest,
    testing::Values(
        FolderCase{"Pem",
                   [](const fs::path& folder) { Put(folder / "root.pem", test_support::SigningAuthority::Shared().RootPem()); },
                   kOk, L""},
        FolderCase{"Der", [](const fs::path& folder) { Put(folder / "root.cer", RootDer()); }, kOk, L""},
        FolderCase{"SeveralCertificatesInOneFile",
                   [](const fs::path& folder) {
                       test_support::PeerSigner peer;
                       Put(folder / "all.pem", peer.CertificatePem() + test_support::SigningAuthority::Shared().RootPem());
                   },
                   kOk, L""},
        FolderCase{"NoFolder", [](const fs::path&) {}, kUntrustedRoot, L"does not trust"},
        FolderCase{"EmptyFolder", [](const fs::path& folder) { fs::create_directories(folder); }, kUntrustedRoot,
                   L"does not trust"},
        FolderCase{"NotACertificate",
                   [](const fs::path& folder) {
                       Put(folder / "root.pem", test_support::SigningAuthority::Shared().RootPem());
                       Put(folder / "notes.txt", "trust the sample");
                   },
                   kUntrustedRoot, L"notes.txt holds no certificate"},
        FolderCase{"Link",
                   [](const fs::path& folder) {
                       Put(folder.parent_path() / "elsewhere.pem", test_support::SigningAuthority::Shared().RootPem());
                       fs::create_directories(folder);
                       fs::create_symlink(folder.parent_path() / "elsewhere.pem", folder / "root.pem");
                   },
                   platform::kAccessDenied, L"is a symbolic link"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace platform::deployment::local
