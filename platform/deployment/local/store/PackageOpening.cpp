#include "platform/deployment/local/store/PackageOpening.h"

#include <cstdint>
#include <string>

#include "platform/deployment/local/Codes.h"

namespace platform::deployment::local {
namespace {

std::wstring CodeText(hresult code) {
    static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring text = L"0x";
    for (int shift = 28; shift >= 0; shift -= 4) {
        text += kHex[(static_cast<std::uint32_t>(code) >> shift) & 0xF];
    }
    return text;
}

}  // namespace

bool IsOpeningFault(hresult code) {
    return (static_cast<std::uint32_t>(code) & 0xFFFF0000u) == 0x80510000u || code == kRelationshipsNotAllowed ||
           code == kMissingFootprintFile || code == kInvalidBlockMap || code == kCorruptPackage;
}

void ThrowOpeningFailure(const PlatformError& error) {
    throw DeploymentFailure(kCannotOpenPackage, error.Code(),
                            L"Package could not be opened (" + CodeText(kCannotOpenPackage) + L"): error " +
                                CodeText(error.Code()) + L": " + ErrorText(error));
}

}  // namespace platform::deployment::local
