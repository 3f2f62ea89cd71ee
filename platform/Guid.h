// The four-field GUID.
#pragma once

#include <array>
#include <cstdint>
#include <string>

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

// The GUID as the tool writes it: braced, lower case, e.g.
// "{00000001-0002-000a-00ff-0001020304ab}".
std::wstring GuidText(const Guid& guid);

}  // namespace platform
