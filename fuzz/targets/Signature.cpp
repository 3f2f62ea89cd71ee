#include <fstream>
#include <string>

#include "fuzz/targets/FuzzTargets.h"
#include "fuzz/targets/Support.h"
#include "platform/Error.h"
#include "platform/deployment/local/format/Signature.h"
#include "platform/deployment/local/format/SignedZip.h"

namespace fuzz {
namespace {

namespace fs = std::filesystem;
namespace local = platform::deployment::local;

void CheckLayout(const local::PackageBytes& bytes) {
    const auto layout = local::ReadSignedZipLayout(bytes);
    if (!layout) {
        return;
    }
    Require(layout->signedPrefix < layout->centralDirectoryOffset &&
                layout->centralDirectoryOffset + layout->centralDirectorySize <= bytes.Size(),
            "the signed prefix and the central directory lie within the file, in that order");
    Require(layout->signatureRecordOffset + layout->signatureRecordSize <= layout->centralDirectorySize,
            "the signature's record lies within the central directory");
    static_cast<void>(local::ComputeSignedZipDigests(bytes, *layout, local::HashMethod::Sha256));
}

}  // namespace

void FuzzSignature(const std::uint8_t* data, std::size_t size) {
    try {
        const local::SignatureFile signature = local::ReadSignature(AsText(data, size));
        const std::size_t digestSize = local::DigestSize(signature.method);
        for (std::size_t part = 0; part < local::kSignedPartCount; ++part) {
            const bool required = part != static_cast<std::size_t>(local::SignedPart::CodeIntegrity);
            Require(!required || signature.digests[part].has_value(), "an accepted signature has every required digest");
            Require(!signature.digests[part] || signature.digests[part]->Bytes().size() == digestSize,
                    "each digest has its algorithm's size");
        }
        Require(signature.signedData != nullptr, "an accepted signature keeps its SignedData");
    } catch (const platform::PlatformError&) {
    }
}

void FuzzSignedZip(const std::uint8_t* data, std::size_t size) {
    const fs::path file = ScratchFolder() / "signed.appx";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        Require(static_cast<bool>(out.flush()), "the input can be written to the scratch folder");
    }
    // As a package file, and as a package stored one byte into a bundle.
    for (const auto& range : {std::optional<local::FileRange>(),
                              size > 1 ? std::optional(local::FileRange{1, size - 1}) : std::nullopt}) {
        try {
            CheckLayout(local::PackageBytes(file, range));
        } catch (const platform::PlatformError&) {
        }
    }
    RemoveAll(file);
}

}  // namespace fuzz
