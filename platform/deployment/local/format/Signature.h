// A package's or bundle's signature file (AppxSignature.p7x): the PKCS#7
// SignedData it holds and the digests it signs, read without trusting any of it.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/deployment/local/format/Hash.h"

struct pkcs7_st;

namespace platform::deployment::local {

// What a signature says it signs: the SIP identifier in its content.
enum class SignedSubject { Package, Bundle };

// The parts of the file that the signature's digests cover, in the order the
// digest blob may list them.
enum class SignedPart { Package, CentralDirectory, ContentTypes, BlockMap, CodeIntegrity };
constexpr std::size_t kSignedPartCount = 5;

struct SignatureFile {
    struct SignedDataDeleter {
        void operator()(pkcs7_st* signedData) const noexcept;
    };
    std::unique_ptr<pkcs7_st, SignedDataDeleter> signedData;
    // The SpcIndirectDataContent's value bytes (without its tag and length):
    // what the SignedData's signature covers.
    std::string signedContent;
    SignedSubject subject = SignedSubject::Package;
    HashMethod method = HashMethod::Sha256;
    // By SignedPart; the code integrity catalog's only when the package has one.
    std::array<std::optional<Digest>, kSignedPartCount> digests;
};

// Reads `bytes` (the whole signature file). Raises 0x80096011 with a text
// saying what is wrong for anything but `PKCX` followed by a DER PKCS#7
// SignedData of content type SPC_INDIRECT_DATA, holding an SpcSipInfo of a
// package or a bundle, a SHA-256, SHA-384 or SHA-512 digest algorithm and an
// `APPX` digest blob in which every tag is known, none repeats, each digest has
// the algorithm's length and the package, central directory, content types and
// block map digests are present.
SignatureFile ReadSignature(std::string_view bytes);

}  // namespace platform::deployment::local
