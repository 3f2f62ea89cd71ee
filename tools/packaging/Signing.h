// AppxSignature.p7x: "PKCX" and a PKCS#7 SignedData whose content is an
// SpcIndirectDataContent holding the digests of the package's parts.
#pragma once

#include <openssl/types.h>

#include <string>

#include "tools/packaging/PackageWriter.h"

namespace packaging {

// The digests a signature covers, raw, each in the block map's hash method.
struct SignedDigests {
    std::string beforeSignature;   // every byte before the signature's local header
    std::string centralDirectory;  // central directory and end records without the signature's entry
    std::string contentTypes;
    std::string blockMap;
    std::string codeIntegrity;  // empty without a catalog
};

const EVP_MD* DigestAlgorithm(HashMethod method);

// Raises std::runtime_error when the signer's PEM texts do not load or its key
// is not the certificate's: before anything is written.
void CheckSigner(const Signer& signer);

// The signature file's bytes for a package, or a bundle, with those digests;
// raises std::runtime_error as CheckSigner does.
std::string SignatureFile(const Signer& signer, HashMethod method, bool bundle, const SignedDigests& digests);

}  // namespace packaging
