// Checks a package's or bundle's signature before anything of it is
// installed: the signature itself, every digest it signs against the file as
// read, the signer's certificate against the trusted certificates and the
// publisher against the signer.
#pragma once

#include <filesystem>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/deployment/local/format/Hash.h"
#include "platform/deployment/local/format/PackageArchive.h"
#include "platform/deployment/local/format/Signature.h"

struct x509_store_st;

namespace platform::deployment::local {

// The trust anchors: each certificate is trusted as it is, whether a root, an
// intermediate or a signing certificate itself. Nothing else is trusted.
class TrustedCertificates {
public:
    // Trusts no one.
    TrustedCertificates();
    ~TrustedCertificates();
    TrustedCertificates(const TrustedCertificates&) = delete;
    TrustedCertificates& operator=(const TrustedCertificates&) = delete;

    // Every file in `folder` (none when it does not exist), each holding PEM
    // certificates or one DER certificate. Raises 0x800B0109 for a file that
    // holds no certificate, naming it; the file's error when it cannot be read.
    static std::shared_ptr<const TrustedCertificates> FromFolder(const std::filesystem::path& folder);
    // Certificates given as PEM or DER bytes (for tests and tools).
    void Add(std::string_view certificates, const std::wstring& origin);

    x509_store_st* Store() const noexcept { return m_store; }

private:
    x509_store_st* m_store;
};

// What extraction asks of a package's signature.
struct SignatureCheck {
    enum class Requirement {
        Required,     // a package or bundle that is installed on its own
        WhenPresent,  // a package inside a bundle, covered by the bundle's signature
        NotChecked,   // only where no package is installed: the extraction's own tests and fuzzing
    };
    Requirement requirement = Requirement::Required;
    // Trusts no one when empty.
    std::shared_ptr<const TrustedCertificates> trusted;
    // The SHA-256 fingerprint that the signing certificate must have, when
    // given: a flat bundle's packages are signed as the bundle is.
    std::optional<std::string> signer = std::nullopt;

    static SignatureCheck NotChecked() { return {Requirement::NotChecked, nullptr}; }
};

// The digest of every byte before the signature (AXPC), left to be checked
// once those bytes have been read: a package arriving over the network has
// them only at the end.
struct SignedPrefix {
    std::uint64_t size = 0;
    Digest expected;
    std::string signer;  // the signing certificate's SHA-256 fingerprint
};

// Checks the signature of `package` (opened from `file`, or that part of it,
// still `arriving` when given), whose block map has `blockMapMethod` and whose
// manifest names `publisher`: everything but the digest of the bytes before
// the signature, which it returns for CheckSignedPrefix (none when the
// signature is not checked or, where allowed, absent).
// Raises, with a text naming the package and what failed:
//   0x800B0100 no AppxSignature.p7x (only when required);
//   0x80096011 a signature file that cannot be read (see ReadSignature), or
//              one for a bundle on a package or the other way round;
//   0x80096010 a digest algorithm other than the block map's hash method, a
//              digest that does not match the file, a catalog and its digest
//              not both present, or a signature that does not verify;
//   0x800B0109 a signing certificate that no trusted certificate vouches for;
//   0x800B0101 a certificate of its chain outside its validity period;
//   0x800B0110 a signing certificate without the code signing usage;
//   0x8007000B a publisher that is not the signing certificate's subject, or a
//              signing certificate other than `check.signer`;
//   0x80080206 an inconsistent ZIP structure (see ReadSignedZipLayout).
[[nodiscard]] std::optional<SignedPrefix> VerifySignature(const PackageArchive& package,
                                                         const std::filesystem::path& file,
                                                         const std::optional<FileRange>& range, SignedSubject subject,
                                                         HashMethod blockMapMethod, std::wstring_view publisher,
                                                         const SignatureCheck& check, ArrivingFile* arriving = nullptr);

// 0x80096010 when the bytes before the signature do not match its digest.
void CheckSignedPrefix(const PackageArchive& package, const std::filesystem::path& file,
                       const std::optional<FileRange>& range, const SignedPrefix& prefix, HashMethod method,
                       ArrivingFile* arriving = nullptr);

}  // namespace platform::deployment::local
