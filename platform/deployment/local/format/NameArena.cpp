#include "platform/deployment/local/format/NameArena.h"

#include <algorithm>
#include <utility>

namespace platform::deployment::local {

NameArena::NameArena(NameArena&& other) noexcept
    : m_chunks(std::move(other.m_chunks)),
      m_next(std::exchange(other.m_next, nullptr)),
      m_left(std::exchange(other.m_left, 0)) {}

NameArena& NameArena::operator=(NameArena&& other) noexcept {
    m_chunks = std::move(other.m_chunks);
    m_next = std::exchange(other.m_next, nullptr);
    m_left = std::exchange(other.m_left, 0);
    return *this;
}

std::string_view NameArena::Add(std::string_view name) {
    if (name.empty()) {
        return {};
    }
    if (name.size() > m_left) {
        if (name.size() > kChunkSize / 4) {
            // A long name gets a chunk of its own; the current one keeps filling.
            m_chunks.push_back(std::make_unique_for_overwrite<char[]>(name.size()));
            std::copy(name.begin(), name.end(), m_chunks.back().get());
            return {m_chunks.back().get(), name.size()};
        }
        m_chunks.push_back(std::make_unique_for_overwrite<char[]>(kChunkSize));
        m_next = m_chunks.back().get();
        m_left = kChunkSize;
    }
    char* const start = m_next;
    std::copy(name.begin(), name.end(), start);
    m_next += name.size();
    m_left -= name.size();
    return {start, name.size()};
}

}  // namespace platform::deployment::local
