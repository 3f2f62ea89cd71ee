// The local 8-bit encoding: which locale of the environment names it, and
// what command-line bytes become in it.
#include <gtest/gtest.h>

#include <clocale>
#include <optional>
#include <string>

#include "app/LocalEncoding.h"

namespace app {
namespace {

TEST(LocalEncodingTest, LcAllThenLcCtypeThenLangNameTheEncoding) {
    EXPECT_EQ(EncodingLocaleName("C.UTF-8", "de_DE.ISO-8859-1", "fr_FR.ISO-8859-15"), "C.UTF-8");
    EXPECT_EQ(EncodingLocaleName("", "de_DE.ISO-8859-1", "fr_FR.ISO-8859-15"), "de_DE.ISO-8859-1");
    EXPECT_EQ(EncodingLocaleName(nullptr, "", "fr_FR.ISO-8859-15"), "fr_FR.ISO-8859-15");
    EXPECT_EQ(EncodingLocaleName(nullptr, nullptr, ""), "C");
}

struct ConversionCase {
    std::string name;
    std::string locale;
    std::string bytes;
    std::optional<std::string> utf8;
};

class LocalEncodingConversionTest : public testing::TestWithParam<ConversionCase> {};

TEST_P(LocalEncodingConversionTest, ConvertsOrRefuses) {
    EXPECT_EQ(LocalEncoding(GetParam().locale).ToUtf8(GetParam().bytes), GetParam().utf8);
    // The process's own locale is left as it was.
    EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
}

INSTANTIATE_TEST_SUITE_P(
    Locales, LocalEncodingConversionTest,
    testing::Values(
        ConversionCase{"Utf8", "C.UTF-8", "caf\xC3\xA9", "caf\xC3\xA9"},
        ConversionCase{"Utf8RefusesAStrayByte", "C.UTF-8", "caf\xE9", std::nullopt},
        ConversionCase{"Utf8RefusesACutSequence", "C.UTF-8", "caf\xC3", std::nullopt},
        ConversionCase{"ClassicIsAscii", "C", "caf\xC3\xA9", std::nullopt},
        ConversionCase{"AsciiPassesEverywhere", "C", "file:///srv/a.appinstaller", "file:///srv/a.appinstaller"},
        // Not installed here: the codeset that the name gives.
        ConversionCase{"Latin1ByName", "fr_FR.ISO-8859-1@euro", "caf\xE9", "caf\xC3\xA9"},
        ConversionCase{"UnknownCodeset", "xx_XX.NO-SUCH-CODESET", "caf\xE9", std::nullopt},
        ConversionCase{"UnknownLocaleWithoutCodesetIsAscii", "xx_XX", "caf\xE9", std::nullopt}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace app
