#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/Error.h"

namespace platform {
namespace {

struct Message {
    std::uint32_t code;
    const wchar_t* text;
};

// Sorted by code for the binary search below.
constexpr std::array kMessages{
    Message{0x8000000E, L"A method was called at an unexpected time."},
    Message{0x80004001, L"Not implemented"},
    Message{0x80004003, L"Invalid pointer"},
    Message{0x80004004, L"Operation aborted"},
    Message{0x80004005, L"Unspecified error"},
    Message{0x8000FFFF, L"Catastrophic failure"},
    Message{0x80040154, L"Class not registered"},
    Message{0x80070002, L"The system cannot find the file specified."},
    Message{0x80070003, L"The system cannot find the path specified."},
    Message{0x80070005, L"Access is denied."},
    Message{0x8007000B, L"An attempt was made to load a program with an incorrect format."},
    Message{0x8007000E, L"Not enough memory resources are available to complete this operation."},
    Message{0x80070057, L"The parameter is incorrect."},
    Message{0x80070070, L"There is not enough space on the disk."},
    Message{0x80070091, L"The directory is not empty."},
    Message{0x800700B7, L"Cannot create a file when that file already exists."},
    Message{0x80070490, L"Element not found."},
    Message{0x800704C7, L"The operation was canceled by the user."},
    Message{0x80072EE2, L"The operation timed out"},
    Message{0x80072EE7, L"The server name or address could not be resolved"},
    Message{0x80072EFD, L"A connection with the server could not be established"},
    Message{0x80072EFE, L"The connection with the server was terminated abnormally"},
    Message{0x80072EFF, L"The connection with the server was reset"},
    Message{0x80072F05, L"The date in the certificate is invalid or has expired"},
    Message{0x80072F06, L"The host name in the certificate is invalid or does not match"},
    Message{0x80072F0D, L"The certificate authority is invalid or incorrect"},
    Message{0x80072F8F, L"A security error occurred"},
    Message{0x80073CF0, L"Package could not be opened."},
    Message{0x80073CF1, L"Package was not found."},
    Message{0x80073CF2, L"Package data is invalid."},
    Message{0x80073CF3, L"Package failed updates, dependency or conflict validation."},
    Message{0x80073CF4, L"There is not enough disk space on your computer. Please free up some space and try again."},
    Message{0x80073CF5, L"There was a problem downloading your product."},
    Message{0x80073CF6, L"Package could not be registered."},
    Message{0x80073CF7, L"Package could not be unregistered."},
    Message{0x80073CF8, L"User cancelled the install request."},
    Message{0x80073CF9, L"Install failed. Please contact your software vendor."},
    Message{0x80073CFA, L"Removal failed. Please contact your software vendor."},
    Message{0x80073CFE, L"The package repository is corrupted."},
    Message{0x80073D02, L"The package could not be installed because resources it modifies are currently in use."},
    Message{0x80073D06, L"The package could not be installed because a higher version of this package is already installed."},
    Message{0x80073D10, L"The deployment operation failed because the package targets the wrong processor architecture."},
    Message{0x80073D36, L"The provided package name does not match the expected package name."},
    Message{0x80080203, L"The package is missing a required footprint file."},
    Message{0x80080204, L"The package manifest is not valid."},
    Message{0x80080205, L"The package block map is not valid."},
    Message{0x80080206, L"The package content cannot be read because it is corrupt."},
    Message{0x80080207, L"The computed hash value of the block does not match the one stored in the block map."},
    Message{0x8008020C, L"The .appinstaller file is not valid."},
    Message{0x80096010, L"The digital signature of the object did not verify."},
    Message{0x80096011, L"The digital signature of the object is malformed. For technical detail, see security bulletin MS13-098."},
    Message{0x800B0100, L"No signature was present in the subject."},
    Message{0x800B0101, L"A required certificate is not within its validity period when verifying against the current system clock or the timestamp in the signed file."},
    Message{0x800B0109, L"A certificate chain processed, but terminated in a root certificate which is not trusted by the trust provider."},
    Message{0x800B0110, L"The certificate is not valid for the requested usage."},
    Message{0x80510007, L"The content types part is missing."},
    Message{0x80511005, L"File attributes in the central directory are inconsistent with attributes on a file item."},
    Message{0x80511007, L"A file descriptor is missing."},
    Message{0x80511008, L"The zip archive may be valid, but it has a format that can't be read by this version of Windows."},
    Message{0x8051100F, L"The zip archive is missing the end of central directory marker."},
};

// HTTP statuses as the platform's download stack words them (facility 0x19).
constexpr std::array kHttpStatuses{
    Message{300, L"Multiple choices (300)."},
    Message{301, L"Moved permanently (301)."},
    Message{302, L"Moved temporarily (302)."},
    Message{303, L"See other (303)."},
    Message{304, L"Not modified (304)."},
    Message{305, L"Use proxy (305)."},
    Message{307, L"Temporary redirect (307)."},
    Message{308, L"Permanent redirect (308)."},
    Message{400, L"Bad request (400)."},
    Message{401, L"Unauthorized (401)."},
    Message{402, L"Payment required (402)."},
    Message{403, L"Forbidden (403)."},
    Message{404, L"Not found (404)."},
    Message{405, L"Method not allowed (405)."},
    Message{406, L"Not acceptable (406)."},
    Message{407, L"Proxy authentication required (407)."},
    Message{408, L"Request timeout (408)."},
    Message{409, L"Conflict (409)."},
    Message{410, L"Gone (410)."},
    Message{411, L"Length required (411)."},
    Message{412, L"Precondition failed (412)."},
    Message{413, L"Request entity too large (413)."},
    Message{414, L"Request-URI too long (414)."},
    Message{415, L"Unsupported media type (415)."},
    Message{416, L"Requested range not satisfiable (416)."},
    Message{417, L"Expectation failed (417)."},
    Message{429, L"Too many requests (429)."},
    Message{500, L"Server error (500)."},
    Message{501, L"Not supported (501)."},
    Message{502, L"Bad gateway (502)."},
    Message{503, L"Service unavailable (503)."},
    Message{504, L"Gateway timeout (504)."},
    Message{505, L"HTTP version not supported (505)."},
};

template <std::size_t N>
const wchar_t* Find(const std::array<Message, N>& table, std::uint32_t code) {
    auto it = std::lower_bound(table.begin(), table.end(), code,
                               [](const Message& m, std::uint32_t c) { return m.code < c; });
    return it != table.end() && it->code == code ? it->text : nullptr;
}

}  // namespace

std::wstring SystemMessage(hresult code) {
    const auto value = static_cast<std::uint32_t>(code);
    if (const wchar_t* text = Find(kMessages, value)) {
        return text;
    }
    if ((value & 0xFFFF0000u) == 0x80190000u) {
        if (const wchar_t* text = Find(kHttpStatuses, value & 0xFFFFu)) {
            return text;
        }
    }
    return {};
}

}  // namespace platform
