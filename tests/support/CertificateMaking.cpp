#include "tests/support/CertificateMaking.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <stdexcept>

namespace test_support::certificates {

void Check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("test certificate: ") + what);
    }
}

Key NewEcKey() {
    Key key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "key");
    return key;
}

Key NewRsaKey() {
    Key key(EVP_RSA_gen(2048));
    Check(key != nullptr, "key");
    return key;
}

Name CommonName(const std::string& name) {
    Name result(X509_NAME_new());
    Check(result != nullptr &&
              X509_NAME_add_entry_by_txt(result.get(), "CN", MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0) == 1,
          "name");
    return result;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    Check(extension != nullptr && X509_add_ext(certificate, extension, -1) == 1, "extension");
    X509_EXTENSION_free(extension);
}

Certificate Make(const X509_NAME* subject, EVP_PKEY* key, X509* issuer, long notBefore, long notAfter) {
    static std::atomic<long> serial{1};
    Certificate certificate(X509_new());
    X509* c = certificate.get();
    Check(c != nullptr, "certificate");
    X509_set_version(c, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(c), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(c), notBefore);
    X509_gmtime_adj(X509_getm_notAfter(c), notAfter);
    X509_set_pubkey(c, key);
    X509_set_subject_name(c, subject);
    X509_set_issuer_name(c, issuer != nullptr ? X509_get_subject_name(issuer) : subject);
    return certificate;
}

void Sign(X509* certificate, EVP_PKEY* issuerKey) {
    Check(X509_sign(certificate, issuerKey, EVP_sha256()) > 0, "sign");
}

namespace {

using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

std::string Text(BIO* out) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(out, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

std::string Pem(X509* certificate) {
    Bio out(BIO_new(BIO_s_mem()));
    Check(out && PEM_write_bio_X509(out.get(), certificate) == 1, "PEM");
    return Text(out.get());
}

std::string Pem(EVP_PKEY* key) {
    Bio out(BIO_new(BIO_s_mem()));
    Check(out && PEM_write_bio_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1, "PEM");
    return Text(out.get());
}

}  // namespace test_support::certificates
