// Part names: how an entry's name decodes and which paths are safe to create.
#include <gtest/gtest.h>

#include <string>

#include "platform/deployment/local/format/PartNames.h"

namespace platform::deployment::local {
namespace {

struct EntryNameCase {
    std::string name;
    std::string entry;
    bool safe;
};

class PartNamesTest : public testing::TestWithParam<EntryNameCase> {};

TEST_P(PartNamesTest, SafetyIsJudgedOnTheDecodedName) {
    const auto decoded = DecodePartName(GetParam().entry);
    EXPECT_EQ(decoded.has_value() && IsSafeEntryName(*decoded), GetParam().safe);
}

INSTANTIATE_TEST_SUITE_P(
    Names, PartNamesTest,
    testing::Values(EntryNameCase{"Plain", "README.txt", true},
                    EntryNameCase{"Nested", "Assets/Images/logo.png", true},
                    EntryNameCase{"DotsInName", "a..b/..c/d..", true},
                    EntryNameCase{"EncodedSpace", "My%20File.txt", true},
                    EntryNameCase{"NonAscii", "%C3%9Cber.txt", true},
                    EntryNameCase{"Empty", "", false},
                    EntryNameCase{"Absolute", "/etc/passwd", false},
                    EntryNameCase{"Parent", "../x", false},
                    EntryNameCase{"ParentAtEnd", "a/..", false},
                    EntryNameCase{"ParentInMiddle", "a/../b", false},
                    EntryNameCase{"Current", "./x", false},
                    EntryNameCase{"TrailingSlash", "a/", false},
                    EntryNameCase{"DoubleSlash", "a//b", false},
                    EntryNameCase{"Backslash", "a\\b", false},
                    EntryNameCase{"DriveLetter", "C:x", false},
                    EntryNameCase{"Stream", "a.txt:stream", false},
                    EntryNameCase{"Control", "a\x01" "b", false},
                    EntryNameCase{"EncodedParent", "%2E%2E/x", false},
                    EntryNameCase{"EncodedSlash", "a%2fb", false},
                    EntryNameCase{"EncodedBackslash", "a%5Cb", false},
                    EntryNameCase{"EncodedNul", "a%00b", false},
                    EntryNameCase{"TruncatedEscape", "a%2", false},
                    EntryNameCase{"LongSegment", std::string(256, 'a'), false},
                    EntryNameCase{"LongestSegment", std::string(255, 'a'), true}),
    [](const auto& info) { return info.param.name; });

struct ReservedCase {
    std::string name;
    bool reserved;
};

class ReservedNameTest : public testing::TestWithParam<ReservedCase> {};

TEST_P(ReservedNameTest, DeviceNamesAndTrailingDotsOrSpacesInAnySegment) {
    EXPECT_EQ(HasReservedSegment(GetParam().name), GetParam().reserved) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(Names, ReservedNameTest,
                         testing::Values(ReservedCase{"CON", true}, ReservedCase{"prn.txt", true},
                                         ReservedCase{"a/Aux.tar.gz", true}, ReservedCase{"NUL/x", true},
                                         ReservedCase{"com1", true}, ReservedCase{"x/LPT9.log", true},
                                         ReservedCase{"dir./x", true}, ReservedCase{"x/file ", true},
                                         ReservedCase{"COM0", false}, ReservedCase{"LPT10", false},
                                         ReservedCase{"console.txt", false}, ReservedCase{"a/nul_/b", false},
                                         ReservedCase{"con-x", false}, ReservedCase{".hidden", false},
                                         ReservedCase{"a b/c.d", false}));

TEST(PartNamesTest, RelationshipPartsLieInARelsFolder) {
    for (const char* name : {"_rels/.rels", "a/_RELS/b.rels"}) {
        EXPECT_TRUE(IsRelationshipPart(name)) << name;
    }
    for (const char* name : {"_rels", "x_rels/a", "a/_rels.txt"}) {
        EXPECT_FALSE(IsRelationshipPart(name)) << name;
    }
}

}  // namespace
}  // namespace platform::deployment::local
