#include "platform/deployment/local/format/PartNames.h"

#include <algorithm>
#include <cctype>

#include "platform/Uri.h"
#include "platform/deployment/local/format/Encoding.h"

namespace platform::deployment::local {
namespace {

constexpr std::size_t kMaxSegmentLength = 255;
constexpr std::size_t kMaxNameLength = 4095;

}  // namespace

bool IsFootprintFile(std::string_view name) {
    return name == kBlockMapName || name == kContentTypesName || name == kSignatureName || name == kCodeIntegrityName;
}

bool HasReservedSegment(std::string_view name) {
    static constexpr std::string_view kDevices[] = {"con", "prn", "aux", "nul"};
    static constexpr std::string_view kNumbered[] = {"com", "lpt"};
    for (std::size_t start = 0; start <= name.size();) {
        const auto end = std::min(name.find('/', start), name.size());
        const std::string_view segment = name.substr(start, end - start);
        if (!segment.empty() && (segment.back() == '.' || segment.back() == ' ')) {
            return true;
        }
        // The device is the name before any extension, in any case.
        const std::string stem = FoldAsciiCase(segment.substr(0, segment.find('.')));
        if (std::find(std::begin(kDevices), std::end(kDevices), stem) != std::end(kDevices)) {
            return true;
        }
        if (stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9' &&
            std::find(std::begin(kNumbered), std::end(kNumbered), stem.substr(0, 3)) != std::end(kNumbered)) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

bool IsRelationshipPart(std::string_view name) {
    const std::string folded = FoldAsciiCase(name);
    return folded.starts_with("_rels/") || folded.find("/_rels/") != std::string::npos;
}

bool IsSafeEntryName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength || name.front() == '/') {
        return false;
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\' || c == ':') {
            return false;
        }
    }
    std::size_t start = 0;
    for (;;) {
        auto end = name.find('/', start);
        const std::string_view segment = name.substr(start, end == std::string_view::npos ? name.npos : end - start);
        if (segment.empty() || segment == "." || segment == ".." || segment.size() > kMaxSegmentLength) {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

std::optional<std::string> DecodePartName(std::string_view rawName) {
    // Every '%' must start an escape; the decoder itself would let a stray one stand.
    const auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    for (auto pos = rawName.find('%'); pos != std::string_view::npos; pos = rawName.find('%', pos + 1)) {
        if (pos + 2 >= rawName.size() || !isHex(rawName[pos + 1]) || !isHex(rawName[pos + 2])) {
            return std::nullopt;
        }
    }
    std::string decoded = PercentDecode(rawName);
    // Escapes only add characters, so more of one than the raw name has means an
    // escape made it: a separator or NUL that the name did not spell out.
    for (const char c : {'/', '\\', '\0'}) {
        if (std::count(decoded.begin(), decoded.end(), c) != std::count(rawName.begin(), rawName.end(), c)) {
            return std::nullopt;
        }
    }
    return decoded;
}

}  // namespace platform::deployment::local
