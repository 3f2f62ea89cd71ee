// Certificates made with OpenSSL for the tests' authorities (TLS and code
// signing): keys, names, extensions and PEM texts.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace test_support::certificates {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const noexcept { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Name = std::unique_ptr<X509_NAME, Deleter<X509_NAME, X509_NAME_free>>;

// Raises std::runtime_error naming `what` unless `ok`.
void Check(bool ok, const char* what);

Key NewEcKey();
Key NewRsaKey();
Name CommonName(const std::string& name);

// Signed by the caller once its extensions are in; self-issued without an
// issuer. Validity in seconds relative to now.
Certificate Make(const X509_NAME* subject, EVP_PKEY* key, X509* issuer, long notBefore, long notAfter);
void AddExtension(X509* certificate, X509* issuer, int nid, const char* value);
void Sign(X509* certificate, EVP_PKEY* issuerKey);

std::string Pem(X509* certificate);
std::string Pem(EVP_PKEY* key);

}  // namespace test_support::certificates
