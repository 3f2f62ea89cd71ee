// A package version: four 16-bit parts written "major.minor.build.revision".
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::deployment::local {

struct Version {
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    std::uint16_t build = 0;
    std::uint16_t revision = 0;

    // Exactly four decimal parts, each at most 65535, no sign, space or leading
    // zero (so that ToString gives back the text); nullopt otherwise.
    static std::optional<Version> Parse(std::wstring_view text);

    std::wstring ToString() const;

    friend auto operator<=>(const Version&, const Version&) = default;
};

}  // namespace platform::deployment::local
