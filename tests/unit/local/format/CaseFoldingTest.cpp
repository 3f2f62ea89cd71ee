// Unicode's simple case folding, which decides what names a file system merges.
#include <gtest/gtest.h>

#include <string>

#include "platform/deployment/local/format/CaseFolding.h"

namespace platform::deployment::local {
namespace {

struct Folding {
    std::string name;
    char32_t from;
    char32_t to;
};

class CaseFoldingTest : public testing::TestWithParam<Folding> {};

TEST_P(CaseFoldingTest, FoldsAsUnicodeSays) { EXPECT_EQ(FoldCase(GetParam().from), GetParam().to); }

// Rows from CaseFolding.txt, chosen at the edges of the table's runs and where
// folding is not lower-casing.
INSTANTIATE_TEST_SUITE_P(
    CodePoints, CaseFoldingTest,
    testing::Values(Folding{"AsciiUpper", U'A', U'a'}, Folding{"AsciiLast", U'Z', U'z'},
                    Folding{"AsciiAfter", U'[', U'['}, Folding{"LowerStays", U'a', U'a'},
                    Folding{"LatinAccented", U'\u00C9', U'\u00E9'}, Folding{"Micro", U'\u00B5', U'\u03BC'},
                    Folding{"AlternatingPairUpper", U'\u0100', U'\u0101'},
                    Folding{"AlternatingPairLower", U'\u0101', U'\u0101'},
                    Folding{"AlternatingPairLast", U'\u012E', U'\u012F'},
                    Folding{"DottedCapitalIHasNoSimpleFolding", U'\u0130', U'\u0130'},
                    Folding{"DotlessIStays", U'\u0131', U'\u0131'}, Folding{"LongS", U'\u017F', U's'},
                    Folding{"FinalSigma", U'\u03C2', U'\u03C3'}, Folding{"CapitalSharpS", U'\u1E9E', U'\u00DF'},
                    Folding{"Kelvin", U'\u212A', U'k'}, Folding{"CherokeeToUpper", U'\uAB70', U'\u13A0'},
                    Folding{"CherokeeSmall", U'\u13F8', U'\u13F0'}, Folding{"Deseret", U'\U00010400', U'\U00010428'},
                    Folding{"Adlam", U'\U0001E921', U'\U0001E943'}, Folding{"BeyondUnicode", 0x110000, 0x110000}),
    [](const auto& info) { return info.param.name; });

TEST(CaseFoldingTest, FoldsEveryCharacterOfAText) {
    EXPECT_EQ(FoldCase("Assets/\xC3\x89T\xC3\x89.TXT"), "assets/\xC3\xA9t\xC3\xA9.txt");
    EXPECT_EQ(FoldCase("\xFF" "A\xC3"), "\xFF" "a\xC3");  // bytes that are not UTF-8 stay
}

}  // namespace
}  // namespace platform::deployment::local
