// The result codes with which the local store ends a request.
#pragma once

#include "platform/Error.h"

namespace platform::deployment::local {

constexpr hresult kBadFormat = ToHresult(0x8007000B);
constexpr hresult kFolderNotEmpty = ToHresult(0x80070091);
constexpr hresult kAlreadyExists = ToHresult(0x800700B7);
constexpr hresult kTimedOut = ToHresult(0x80072EE2);
constexpr hresult kNameNotResolved = ToHresult(0x80072EE7);
constexpr hresult kCannotConnect = ToHresult(0x80072EFD);
constexpr hresult kConnectionAborted = ToHresult(0x80072EFE);
constexpr hresult kConnectionReset = ToHresult(0x80072EFF);
constexpr hresult kCertificateDateInvalid = ToHresult(0x80072F05);
constexpr hresult kCertificateNameInvalid = ToHresult(0x80072F06);
constexpr hresult kCertificateAuthorityInvalid = ToHresult(0x80072F0D);
constexpr hresult kSecureFailure = ToHresult(0x80072F8F);
constexpr hresult kCannotOpenPackage = ToHresult(0x80073CF0);
constexpr hresult kPackageNotFound = ToHresult(0x80073CF1);
constexpr hresult kDependencyMissing = ToHresult(0x80073CF3);
constexpr hresult kStoreDiskFull = ToHresult(0x80073CF4);
constexpr hresult kDownloadFailed = ToHresult(0x80073CF5);
constexpr hresult kRegistryCorrupt = ToHresult(0x80073CFE);
constexpr hresult kInUse = ToHresult(0x80073D02);
constexpr hresult kHigherVersionInstalled = ToHresult(0x80073D06);
constexpr hresult kWrongArchitecture = ToHresult(0x80073D10);
constexpr hresult kIdentityMismatch = ToHresult(0x80073D36);
constexpr hresult kRelationshipsNotAllowed = ToHresult(0x80080202);
constexpr hresult kMissingFootprintFile = ToHresult(0x80080203);
constexpr hresult kInvalidManifest = ToHresult(0x80080204);
constexpr hresult kInvalidBlockMap = ToHresult(0x80080205);
constexpr hresult kCorruptPackage = ToHresult(0x80080206);
constexpr hresult kBlockHashMismatch = ToHresult(0x80080207);
constexpr hresult kInvalidAppInstallerFile = ToHresult(0x8008020C);
constexpr hresult kBadDigest = ToHresult(0x80096010);
constexpr hresult kMalformedSignature = ToHresult(0x80096011);
constexpr hresult kNoSignature = ToHresult(0x800B0100);
constexpr hresult kCertificateExpired = ToHresult(0x800B0101);
constexpr hresult kUntrustedRoot = ToHresult(0x800B0109);
constexpr hresult kWrongUsage = ToHresult(0x800B0110);
constexpr hresult kZipNoContentTypes = ToHresult(0x80510007);
constexpr hresult kZipInconsistentItem = ToHresult(0x80511005);
constexpr hresult kZipDescriptorMismatch = ToHresult(0x80511007);
constexpr hresult kZipUnsupported = ToHresult(0x80511008);
constexpr hresult kZipNoEndRecord = ToHresult(0x8051100F);

// An HTTP status s as the download stack reports it.
constexpr hresult HttpStatusCode(long status) {
    return ToHresult(0x80190000u + static_cast<std::uint32_t>(status & 0xFFFF));
}

}  // namespace platform::deployment::local
