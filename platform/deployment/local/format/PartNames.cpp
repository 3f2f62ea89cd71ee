#include "platform/deployment/local/format/PartNames.h"

namespace platform::deployment::local {
namespace {

constexpr std::size_t kMaxSegmentLength = 255;
constexpr std::size_t kMaxNameLength = 4095;

}  // namespace

bool IsFootprintFile(std::string_view name) {
    return name == kBlockMapName || name == kContentTypesName || name == kSignatureName;
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
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string decoded;
    decoded.reserve(rawName.size());
    for (std::size_t i = 0; i < rawName.size(); ++i) {
        if (rawName[i] != '%') {
            decoded += rawName[i];
            continue;
        }
        if (i + 2 >= rawName.size()) {
            return std::nullopt;
        }
        const int high = hexValue(rawName[i + 1]);
        const int low = hexValue(rawName[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        const char byte = static_cast<char>(high * 16 + low);
        if (byte == '/' || byte == '\\' || byte == '\0') {
            return std::nullopt;
        }
        decoded += byte;
        i += 2;
    }
    return decoded;
}

}  // namespace platform::deployment::local
