#include "platform/deployment/local/format/FoldedNames.h"

#include <algorithm>
#include <string>
#include <utility>

#include "platform/deployment/local/format/CaseFolding.h"

namespace platform::deployment::local {

std::uint64_t FoldedNames::DefaultHash(std::string_view folded) noexcept {
    return std::hash<std::string_view>{}(folded);
}

FoldedNames::FoldedNames(std::size_t count, NameAt nameAt, Hash hash)
    : m_nameAt(std::move(nameAt)), m_hash(hash) {
    m_keys.reserve(count);
    for (std::size_t index = 0; index < count; ++index) {
        m_keys.push_back(Key{m_hash(FoldCase(m_nameAt(index))), index});
    }
    std::sort(m_keys.begin(), m_keys.end(), [this](const Key& left, const Key& right) { return Before(left, right); });
}

bool FoldedNames::Before(const Key& left, const Key& right) const {
    if (left.hash != right.hash) {
        return left.hash < right.hash;
    }
    const int order = FoldCase(m_nameAt(left.index)).compare(FoldCase(m_nameAt(right.index)));
    return order != 0 ? order < 0 : left.index < right.index;
}

std::optional<std::size_t> FoldedNames::FirstRepeat() const {
    std::optional<std::size_t> first;
    for (std::size_t at = 1; at < m_keys.size(); ++at) {
        const Key& earlier = m_keys[at - 1];
        const Key& later = m_keys[at];
        if (earlier.hash == later.hash && FoldCase(m_nameAt(earlier.index)) == FoldCase(m_nameAt(later.index)) &&
            (!first || later.index < *first)) {
            first = later.index;
        }
    }
    return first;
}

std::optional<std::size_t> FoldedNames::Find(std::string_view folded) const {
    const auto [begin, end] = std::ranges::equal_range(m_keys, m_hash(folded), {}, &Key::hash);
    const auto found = std::lower_bound(begin, end, folded, [this](const Key& key, std::string_view text) {
        return FoldCase(m_nameAt(key.index)) < text;
    });
    if (found == end || FoldCase(m_nameAt(found->index)) != folded) {
        return std::nullopt;
    }
    return found->index;
}

}  // namespace platform::deployment::local
