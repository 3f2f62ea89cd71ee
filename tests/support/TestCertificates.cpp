#include "tests/support/TestCertificates.h"

#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include "tests/support/CertificateMaking.h"

namespace test_support {

using namespace certificates;

struct TestAuthority::Keys {
    Key key;
    Certificate certificate;
};

TestAuthority::TestAuthority() : m_keys(new Keys) {
    m_keys->key = NewEcKey();
    m_keys->certificate =
        Make(CommonName("appdeploy test authority").get(), m_keys->key.get(), nullptr, -3600, 7 * 86400);
    X509* c = m_keys->certificate.get();
    AddExtension(c, c, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(c, c, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(c, c, NID_subject_key_identifier, "hash");
    Sign(c, m_keys->key.get());
}

TestAuthority::~TestAuthority() { delete m_keys; }

std::string TestAuthority::CertificatePem() const { return Pem(m_keys->certificate.get()); }

TlsCertificate TestAuthority::Issue(const std::string& host, std::chrono::seconds notBefore,
                                    std::chrono::seconds notAfter) const {
    Key key = NewEcKey();
    X509* issuer = m_keys->certificate.get();
    Certificate certificate = Make(CommonName(host).get(), key.get(), issuer, static_cast<long>(notBefore.count()),
                                   static_cast<long>(notAfter.count()));
    in_addr address{};
    const std::string san = (::inet_pton(AF_INET, host.c_str(), &address) == 1 ? "IP:" : "DNS:") + host;
    AddExtension(certificate.get(), issuer, NID_subject_alt_name, san.c_str());
    AddExtension(certificate.get(), issuer, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(certificate.get(), issuer, NID_ext_key_usage, "serverAuth");
    AddExtension(certificate.get(), issuer, NID_authority_key_identifier, "keyid");
    Sign(certificate.get(), m_keys->key.get());
    return TlsCertificate{Pem(certificate.get()), Pem(key.get())};
}

}  // namespace test_support
