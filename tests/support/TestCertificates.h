// A certificate authority made for a test run, and server certificates it (or
// an authority no one trusts) signs: for a loopback TLS server.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace test_support {

struct TlsCertificate {
    std::string certificatePem;
    std::string keyPem;
};

class TestAuthority {
public:
    TestAuthority();
    ~TestAuthority();
    TestAuthority(const TestAuthority&) = delete;
    TestAuthority& operator=(const TestAuthority&) = delete;

    // The authority's certificate, to be trusted by the client.
    std::string CertificatePem() const;
    // A server certificate for `host` (an IP address or a DNS name), valid from
    // `notBefore` to `notAfter` relative to now.
    TlsCertificate Issue(const std::string& host, std::chrono::seconds notBefore = -std::chrono::hours(1),
                         std::chrono::seconds notAfter = std::chrono::hours(24)) const;

private:
    struct Keys;
    Keys* m_keys;
};

}  // namespace test_support
