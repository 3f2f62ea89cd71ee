#include "tests/support/TestCertificates.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <atomic>
#include <memory>
#include <stdexcept>

namespace test_support {
namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const noexcept { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;

void Check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("test certificate: ") + what);
    }
}

Key NewKey() {
    Key key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "key");
    return key;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    Check(extension != nullptr && X509_add_ext(certificate, extension, -1) == 1, "extension");
    X509_EXTENSION_free(extension);
}

// Signed by the caller once its extensions are in.
Certificate Make(const std::string& name, EVP_PKEY* key, X509* issuer, long notBefore, long notAfter) {
    static std::atomic<long> serial{1};
    Certificate certificate(X509_new());
    X509* c = certificate.get();
    X509_set_version(c, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(c), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(c), notBefore);
    X509_gmtime_adj(X509_getm_notAfter(c), notAfter);
    X509_set_pubkey(c, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(c), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(c, issuer != nullptr ? X509_get_subject_name(issuer) : X509_get_subject_name(c));
    return certificate;
}

std::string Pem(X509* certificate) {
    std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>> out(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(out.get(), certificate);
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string Pem(EVP_PKEY* key) {
    std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>> out(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

struct TestAuthority::Keys {
    Key key;
    Certificate certificate;
};

TestAuthority::TestAuthority() : m_keys(new Keys) {
    m_keys->key = NewKey();
    m_keys->certificate = Make("appdeploy test authority", m_keys->key.get(), nullptr, -3600, 7 * 86400);
    X509* c = m_keys->certificate.get();
    AddExtension(c, c, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(c, c, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(c, c, NID_subject_key_identifier, "hash");
    Check(X509_sign(c, m_keys->key.get(), EVP_sha256()) > 0, "sign the authority");
}

TestAuthority::~TestAuthority() { delete m_keys; }

std::string TestAuthority::CertificatePem() const { return Pem(m_keys->certificate.get()); }

TlsCertificate TestAuthority::Issue(const std::string& host, std::chrono::seconds notBefore,
                                    std::chrono::seconds notAfter) const {
    Key key = NewKey();
    X509* issuer = m_keys->certificate.get();
    Certificate certificate = Make(host, key.get(), issuer, static_cast<long>(notBefore.count()),
                                   static_cast<long>(notAfter.count()));
    in_addr address{};
    const std::string san = (::inet_pton(AF_INET, host.c_str(), &address) == 1 ? "IP:" : "DNS:") + host;
    AddExtension(certificate.get(), issuer, NID_subject_alt_name, san.c_str());
    AddExtension(certificate.get(), issuer, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(certificate.get(), issuer, NID_ext_key_usage, "serverAuth");
    AddExtension(certificate.get(), issuer, NID_authority_key_identifier, "keyid");
    Check(X509_sign(certificate.get(), m_keys->key.get(), EVP_sha256()) > 0, "sign the server's certificate");
    return TlsCertificate{Pem(certificate.get()), Pem(key.get())};
}

}  // namespace test_support
