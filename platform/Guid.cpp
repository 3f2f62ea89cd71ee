#include "platform/Guid.h"

#include <array>
#include <cwchar>
#include <iterator>
#include <random>

namespace platform {
namespace {

// Seeded from the full state size of the engine's input: one 32-bit seed
// would allow only 2^32 distinct sequences, and activity ids of separate runs
// would collide far sooner than random GUIDs may.
std::mt19937_64 SeededEngine() {
    std::random_device device;
    std::array<std::uint32_t, 8> seed{};
    for (auto& word : seed) {
        word = device();
    }
    std::seed_seq sequence(seed.begin(), seed.end());
    return std::mt19937_64(sequence);
}

}  // namespace

Guid Guid::NewRandom() {
    thread_local std::mt19937_64 engine = SeededEngine();
    const std::uint64_t high = engine();
    const std::uint64_t low = engine();
    Guid guid;
    guid.Data1 = static_cast<std::uint32_t>(high >> 32);
    guid.Data2 = static_cast<std::uint16_t>(high >> 16);
    guid.Data3 = static_cast<std::uint16_t>((high & 0x0FFF) | 0x4000);  // version 4
    for (int i = 0; i < 8; ++i) {
        guid.Data4[i] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
    }
    guid.Data4[0] = static_cast<std::uint8_t>((guid.Data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
    return guid;
}

std::wstring GuidText(const Guid& guid) {
    wchar_t buffer[40];
    std::swprintf(buffer, std::size(buffer),
                  L"{%08x-%04hx-%04hx-%02hhx%02hhx-%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return buffer;
}

}  // namespace platform
