#include "tests/support/PeerSigner.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "tests/support/RunProcess.h"

namespace test_support {
namespace {

// The program's path as the shell would find it, or empty.
std::string FindProgram(const std::string& program) {
    const char* path = std::getenv("PATH");
    const std::string directories = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= directories.size();) {
        const auto end = std::min(directories.find(':', start), directories.size());
        const std::string candidate = directories.substr(start, end - start) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

}  // namespace

PeerSigner::PeerSigner(const std::string& subject) : m_osslsigncode(FindProgram("osslsigncode")) {
    const std::string openssl = FindProgram("openssl");
    if (m_osslsigncode.empty() || openssl.empty()) {
        m_skipped = "osslsigncode or openssl is not installed (scripts/install-packages installs them)";
        return;
    }
    const auto made = RunProcess(
        openssl, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", subject, "-addext",
                  "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature", "-keyout",
                  (m_keys.Path() / "key.pem").string(), "-out", (m_keys.Path() / "cert.pem").string()});
    if (made.exitStatus != 0) {
        m_skipped = "openssl could not make a certificate: " + made.err;
    }
}

std::string PeerSigner::SignAndVerify(const std::filesystem::path& in, const std::filesystem::path& out,
                                      const std::string& hash) const {
    const std::string cert = (m_keys.Path() / "cert.pem").string();
    const auto sign = RunProcess(m_osslsigncode, {"sign", "-h", hash, "-certs", cert, "-key",
                                                  (m_keys.Path() / "key.pem").string(), "-in", in.string(), "-out",
                                                  out.string()});
    if (sign.exitStatus != 0) {
        return "osslsigncode sign: " + sign.out + sign.err;
    }
    return VerifyWith(out, cert);
}

std::string PeerSigner::Verify(const std::filesystem::path& file, const std::string& trustedPem) const {
    const std::filesystem::path trusted = m_keys.Path() / "trusted.pem";
    std::ofstream(trusted, std::ios::binary | std::ios::trunc) << trustedPem;
    return VerifyWith(file, trusted.string());
}

std::string PeerSigner::VerifyWith(const std::filesystem::path& file, const std::string& caFile) const {
    const auto verify = RunProcess(m_osslsigncode, {"verify", "-CAfile", caFile, "-in", file.string()});
    if (verify.exitStatus != 0 || verify.out.find("Signature verification: ok") == std::string::npos) {
        return "osslsigncode verify: " + verify.out + verify.err;
    }
    return {};
}

std::string PeerSigner::CertificatePem() const { return store_testing::ReadFile(m_keys.Path() / "cert.pem"); }

}  // namespace test_support
