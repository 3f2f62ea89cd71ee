// Many short names kept one after another in large chunks, so that each costs
// its bytes rather than an allocation of its own.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace platform::deployment::local {

// The views it hands out stay valid as long as the arena, also when it moves.
class NameArena {
public:
    NameArena() = default;
    NameArena(NameArena&& other) noexcept;
    NameArena& operator=(NameArena&& other) noexcept;
    NameArena(const NameArena&) = delete;
    NameArena& operator=(const NameArena&) = delete;

    // A copy of `name` in the arena.
    std::string_view Add(std::string_view name);

private:
    static constexpr std::size_t kChunkSize = 64 * 1024;

    std::vector<std::unique_ptr<char[]>> m_chunks;
    char* m_next = nullptr;
    std::size_t m_left = 0;
};

}  // namespace platform::deployment::local
