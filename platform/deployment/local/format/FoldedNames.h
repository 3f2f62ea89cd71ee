// Names that the home platform's file system takes for one name (equal once
// case-folded), found among many without keeping a folded copy of each: only
// a hash of every folded name is kept, and names whose hashes meet are folded
// again and compared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace platform::deployment::local {

class FoldedNames {
public:
    using NameAt = std::function<std::string_view(std::size_t)>;
    using Hash = std::uint64_t (*)(std::string_view folded);

    // The hash of a folded name that is used unless another is given.
    static std::uint64_t DefaultHash(std::string_view folded) noexcept;

    // The names 0 to count - 1, read through `nameAt` whenever they are needed,
    // so they must stay as they are while this lives.
    FoldedNames(std::size_t count, NameAt nameAt, Hash hash = &DefaultHash);

    // The first name, in their order, that folds to the same text as an earlier one.
    std::optional<std::size_t> FirstRepeat() const;
    // The name that folds to `folded` (a folded text), when there is one; the
    // first such when names repeat.
    std::optional<std::size_t> Find(std::string_view folded) const;

private:
    struct Key {
        std::uint64_t hash;
        std::size_t index;
    };

    // By hash, then by folded text (only where hashes meet), then by position,
    // so that equal names lie side by side with the earliest first, and many
    // names of one hash cost a sort, not a comparison of every pair.
    bool Before(const Key& left, const Key& right) const;

    NameAt m_nameAt;
    Hash m_hash;
    std::vector<Key> m_keys;
};

}  // namespace platform::deployment::local
