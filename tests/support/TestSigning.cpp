#include "tests/support/TestSigning.h"

#include <openssl/x509v3.h>

#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "tests/support/CertificateMaking.h"

namespace test_support {
namespace {

using namespace certificates;

constexpr long kAuthorityLifetime = 20L * 365 * 86400;

// A DN as the platform writes one, "CN=Oru Sample, O=Oru, C=US": attributes
// separated by commas, a value in quotes or with backslash escapes when it
// holds one.
Name ParseDistinguishedName(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string* field = nullptr;
    std::string key;
    std::string value;
    bool quoted = false;
    const auto finish = [&] {
        const auto trim = [](std::string s) {
            s.erase(0, s.find_first_not_of(' '));
            s.erase(s.find_last_not_of(' ') + 1);
            return s;
        };
        Check(field == &value && !trim(key).empty(), "publisher name");
        attributes.emplace_back(trim(key), trim(value));
        key.clear();
        value.clear();
        field = nullptr;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (field == nullptr) {
            field = &key;
        }
        if (c == '\\' && i + 1 < text.size()) {
            *field += text[++i];
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == '=' && field == &key && !quoted) {
            field = &value;
        } else if ((c == ',' || c == ';') && !quoted) {
            finish();
        } else {
            *field += c;
        }
    }
    finish();
    static const std::map<std::string, std::string> kOpenSslKeys = {{"S", "ST"}, {"E", "emailAddress"}};
    Name name(X509_NAME_new());
    Check(name != nullptr, "name");
    for (auto attribute = attributes.rbegin(); attribute != attributes.rend(); ++attribute) {
        const auto known = kOpenSslKeys.find(attribute->first);
        const std::string& type = known != kOpenSslKeys.end() ? known->second : attribute->first;
        Check(X509_NAME_add_entry_by_txt(name.get(), type.c_str(), MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(attribute->second.c_str()), -1, -1,
                                         0) == 1,
              "publisher name attribute");
    }
    return name;
}

void MakeAuthority(X509* certificate, X509* issuer, EVP_PKEY* issuerKey, const char* constraints) {
    AddExtension(certificate, issuer, NID_basic_constraints, constraints);
    AddExtension(certificate, issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(certificate, issuer, NID_subject_key_identifier, "hash");
    if (issuer != certificate) {
        AddExtension(certificate, issuer, NID_authority_key_identifier, "keyid");
    }
    Sign(certificate, issuerKey);
}

}  // namespace

struct SigningAuthority::State {
    Key rootKey = NewRsaKey();
    Key intermediateKey = NewRsaKey();
    // Every code signing certificate shares one key: a key is slow to make.
    Key signingKey = NewRsaKey();
    Certificate root;
    Certificate intermediate;
    std::mutex lock;
    std::map<std::tuple<std::string, long, long, bool>, packaging::Signer> signers;
};

SigningAuthority::SigningAuthority() : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.root = Make(CommonName("appdeploy test code signing root").get(), s.rootKey.get(), nullptr, -86400,
                  kAuthorityLifetime);
    MakeAuthority(s.root.get(), s.root.get(), s.rootKey.get(), "critical,CA:TRUE");
    s.intermediate = Make(CommonName("appdeploy test code signing intermediate").get(), s.intermediateKey.get(),
                          s.root.get(), -86400, kAuthorityLifetime);
    MakeAuthority(s.intermediate.get(), s.root.get(), s.rootKey.get(), "critical,CA:TRUE,pathlen:0");
}

SigningAuthority::~SigningAuthority() = default;

const SigningAuthority& SigningAuthority::Shared() {
    static const SigningAuthority authority;
    return authority;
}

std::string SigningAuthority::RootPem() const { return Pem(m_state->root.get()); }

std::string SigningAuthority::IntermediatePem() const { return Pem(m_state->intermediate.get()); }

packaging::Signer SigningAuthority::SignerFor(const std::string& publisher,
                                              const CodeSigningCertificateOptions& options) const {
    State& s = *m_state;
    const std::lock_guard guard(s.lock);
    const auto key = std::tuple(publisher, static_cast<long>(options.notBefore.count()),
                                static_cast<long>(options.notAfter.count()), options.codeSigningUsage);
    if (const auto cached = s.signers.find(key); cached != s.signers.end()) {
        return cached->second;
    }
    X509* issuer = s.intermediate.get();
    Certificate certificate = Make(ParseDistinguishedName(publisher).get(), s.signingKey.get(), issuer,
                                   std::get<1>(key), std::get<2>(key));
    AddExtension(certificate.get(), issuer, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(certificate.get(), issuer, NID_key_usage, "critical,digitalSignature");
    AddExtension(certificate.get(), issuer, NID_ext_key_usage, options.codeSigningUsage ? "codeSigning" : "serverAuth");
    AddExtension(certificate.get(), issuer, NID_subject_key_identifier, "hash");
    AddExtension(certificate.get(), issuer, NID_authority_key_identifier, "keyid");
    Sign(certificate.get(), s.intermediateKey.get());
    packaging::Signer signer{Pem(certificate.get()), Pem(s.signingKey.get()), {IntermediatePem()}};
    return s.signers.emplace(key, std::move(signer)).first->second;
}

void SigningAuthority::TrustIn(const std::filesystem::path& storeRoot) const {
    namespace fs = std::filesystem;
    const fs::perms directoryMode = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec;
    for (const fs::path& directory : {storeRoot, storeRoot / "trusted"}) {
        if (fs::create_directory(directory)) {
            fs::permissions(directory, directoryMode);
        }
    }
    const fs::path file = storeRoot / "trusted" / "appdeploy-test-root.pem";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << RootPem();
        out.close();
        Check(static_cast<bool>(out), "write the trusted root");
    }
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read);
}

}  // namespace test_support
