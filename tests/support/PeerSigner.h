// osslsigncode, an implementation of the package format's signing that none
// of us wrote, as the peer that signs and verifies what our writer makes.
#pragma once

#include <filesystem>
#include <string>

#include "tests/support/StoreTesting.h"

namespace test_support {

class PeerSigner {
public:
    // Finds osslsigncode and openssl and makes a self-signed code signing
    // certificate for `subject`; Skipped() says why when it cannot.
    explicit PeerSigner(const std::string& subject = "/CN=Oru Peer");

    // Why the peer cannot run here (a tool is missing), or empty.
    const std::string& Skipped() const { return m_skipped; }

    // Signs `in` into `out` with `hash` (sha256, sha384 or sha512, which must
    // be the block map's) and verifies `out` with the certificate as its only
    // authority: empty when both succeed, else what the peer said.
    std::string SignAndVerify(const std::filesystem::path& in, const std::filesystem::path& out,
                              const std::string& hash = "sha256") const;
    // Verifies a signed file with `trustedPem` as its only authority: empty
    // when the peer accepts it, else what it said.
    std::string Verify(const std::filesystem::path& file, const std::string& trustedPem) const;

    // The self-signed certificate the peer signs with, PEM.
    std::string CertificatePem() const;

private:
    std::string VerifyWith(const std::filesystem::path& file, const std::string& caFile) const;

    store_testing::TempDir m_keys;
    std::string m_osslsigncode;
    std::string m_skipped;
};

}  // namespace test_support
