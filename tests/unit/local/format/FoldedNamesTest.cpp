// Names that a case-insensitive file system merges, found by hashes of their
// folded forms: the answers must not change when hashes collide.
#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "platform/deployment/local/format/FoldedNames.h"

namespace platform::deployment::local {
namespace {

struct NamesCase {
    std::string name;
    std::vector<std::string> names;
    std::optional<std::size_t> firstRepeat;
    std::string folded;  // looked up with Find
    std::optional<std::size_t> found;
};

class FoldedNamesTest : public testing::TestWithParam<NamesCase> {};

std::uint64_t Colliding(std::string_view) { return 7; }

TEST_P(FoldedNamesTest, FindsRepeatsWhetherOrNotHashesCollide) {
    const NamesCase& row = GetParam();
    for (const FoldedNames::Hash hash : std::initializer_list<FoldedNames::Hash>{&FoldedNames::DefaultHash, &Colliding}) {
        SCOPED_TRACE(hash == &Colliding ? "every hash the same" : "real hashes");
        const FoldedNames folded(row.names.size(), [&](std::size_t index) -> std::string_view { return row.names[index]; }, hash);
        EXPECT_EQ(folded.FirstRepeat(), row.firstRepeat);
        EXPECT_EQ(folded.Find(row.folded), row.found);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, FoldedNamesTest,
    testing::Values(NamesCase{"CaseOnly", {"a.txt", "b.txt", "A.TXT"}, 2, "b.txt", 1},
                    NamesCase{"Accented", {"Donn\xC3\xA9" "es/\xC3\xA9t\xC3\xA9", "donn\xC3\xA9" "es/\xC3\x89T\xC3\x89"},
                              1, "donn\xC3\xA9" "es/\xC3\xA9t\xC3\xA9", 0},
                    NamesCase{"AllDifferent", {"a", "b", "ab", "a/b", "B/A"}, std::nullopt, "b/a", 4},
                    NamesCase{"EarliestRepeatFirst", {"x", "Y", "y", "X"}, 2, "z", std::nullopt},
                    NamesCase{"SameTwice", {"q", "Q", "q"}, 1, "q", 0},
                    NamesCase{"FoldedTextOnly", {"Big.bin"}, std::nullopt, "Big.bin", std::nullopt},
                    NamesCase{"None", {}, std::nullopt, "", std::nullopt}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace platform::deployment::local
