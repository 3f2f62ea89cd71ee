// The four-field GUID.
#pragma once

#include <array>
#include <cstdint>

namespace platform {

struct Guid {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::array<std::uint8_t, 8> Data4{};

    // A random (version 4) GUID.
    static Guid NewRandom();

    friend bool operator==(const Guid&, const Guid&) = default;
};

}  // namespace platform
