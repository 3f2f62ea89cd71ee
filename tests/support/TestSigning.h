// A code signing authority made for a test run: packages signed by
// certificates it issues install in stores that trust its root.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "tools/packaging/PackageWriter.h"

namespace test_support {

struct CodeSigningCertificateOptions {
    std::chrono::seconds notBefore = -std::chrono::hours(1);  // relative to now
    std::chrono::seconds notAfter = std::chrono::hours(24 * 365);
    bool codeSigningUsage = true;  // extended key usage codeSigning (otherwise serverAuth only)
};

// A root and an intermediate authority made once per test process; code signing
// certificates issued by the intermediate for a publisher (the subject is the
// manifest's Publisher DN as written, e.g. "CN=Oru Sample, O=Oru, C=US", its
// last attribute encoded first as in any certificate).
class SigningAuthority {
public:
    static const SigningAuthority& Shared();
    ~SigningAuthority();
    SigningAuthority(const SigningAuthority&) = delete;
    SigningAuthority& operator=(const SigningAuthority&) = delete;

    std::string RootPem() const;
    std::string IntermediatePem() const;
    // Cached per publisher and options; chainPem holds the intermediate.
    packaging::Signer SignerFor(const std::string& publisher, const CodeSigningCertificateOptions& = {}) const;
    // Writes the root's certificate into <storeRoot>/trusted/ (creating it, mode 0755/0644).
    void TrustIn(const std::filesystem::path& storeRoot) const;

private:
    SigningAuthority();
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace test_support
