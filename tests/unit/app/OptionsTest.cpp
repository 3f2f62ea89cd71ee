#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/Options.h"
#include "tests/support/ConsoleCapture.h"
#include "tests/support/TestCommandLine.h"

namespace po = boost::program_options;

namespace {

using app_test::CommandLine;
using app_test::kDefaultFamily;
using app_test::kDefaultUri;
using app_test::kHelpText;

template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

struct ParseCase {
    std::string name;
    std::vector<std::string> args;
    std::wstring uri = kDefaultUri;
    std::wstring family = kDefaultFamily;
    bool provision = false;
    bool remove = false;
    bool help = false;
};

class OptionsParse : public testing::TestWithParam<ParseCase> {};

TEST_P(OptionsParse, YieldsTheSettings) {
    const ParseCase& c = GetParam();
    test_support::ConsoleCapture console;
    std::ostringstream help;
    CommandLine commandLine(c.args);
    app::Options options;

    ASSERT_TRUE(options.Parse(commandLine.Argc(), commandLine.Argv(), help));

    EXPECT_EQ(options.AppInstallerFileUri(), c.uri);
    EXPECT_EQ(options.PackageFamilyName(), c.family);
    EXPECT_EQ(options.ProvisionAllUsers(), c.provision);
    EXPECT_EQ(options.Remove(), c.remove);
    EXPECT_EQ(options.Values()["help"].as<bool>(), c.help);
    EXPECT_EQ(console.Text(), "");
    EXPECT_EQ(help.str(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, OptionsParse,
    testing::Values(
        ParseCase{.name = "NoArguments", .args = {}},
        ParseCase{.name = "ShortUriSeparate", .args = {"-i", "https://h.test/a"}, .uri = L"https://h.test/a"},
        ParseCase{.name = "ShortUriSticky", .args = {"-ihttps://h.test/a"}, .uri = L"https://h.test/a"},
        ParseCase{.name = "LongUriSeparate",
                  .args = {"--app-installer-file-uri", "https://h.test/a"},
                  .uri = L"https://h.test/a"},
        ParseCase{.name = "LongUriEquals", .args = {"--app-installer-file-uri=https://h.test/a"}, .uri = L"https://h.test/a"},
        ParseCase{.name = "ShortFamily", .args = {"-f", "Name_pub"}, .family = L"Name_pub"},
        ParseCase{.name = "AbbreviatedFamily", .args = {"--pack", "Name_pub"}, .family = L"Name_pub"},
        ParseCase{.name = "EmptySeparateUri", .args = {"-i", ""}, .uri = L""},
        ParseCase{.name = "EmptySeparateFamily", .args = {"-f", ""}, .family = L""},
        ParseCase{.name = "ShortProvision", .args = {"-p"}, .provision = true},
        ParseCase{.name = "LongProvision", .args = {"--provision-all-users"}, .provision = true},
        ParseCase{.name = "ShortRemove", .args = {"-x"}, .remove = true},
        ParseCase{.name = "LongRemove", .args = {"--remove"}, .remove = true},
        ParseCase{.name = "AbbreviatedRemove", .args = {"--rem"}, .remove = true},
        ParseCase{.name = "SwitchesInOneToken", .args = {"-px"}, .provision = true, .remove = true},
        ParseCase{.name = "ShortHelp", .args = {"-?"}, .help = true},
        ParseCase{.name = "LongHelp", .args = {"--help"}, .help = true},
        ParseCase{.name = "HelpWithOthers", .args = {"--help", "-x", "-f", "n"}, .family = L"n", .remove = true, .help = true},
        ParseCase{.name = "BareWordIgnored", .args = {"install"}},
        ParseCase{.name = "SlashQuestionIsABareWord", .args = {"/?"}},
        ParseCase{.name = "BareWordsBetweenOptions", .args = {"install", "-x", "now"}, .remove = true},
        ParseCase{.name = "DoubleDashEndsOptions", .args = {"-p", "--", "-x", "--foo", "-z"}, .provision = true},
        ParseCase{.name = "AllTogether",
                  .args = {"-p", "--package-family-name=F_1", "-x", "--app-installer-file-uri", "file:///a"},
                  .uri = L"file:///a",
                  .family = L"F_1",
                  .provision = true,
                  .remove = true}),
    CaseName<ParseCase>);

struct UnknownCase {
    std::string name;
    std::vector<std::string> args;
};

class OptionsUnknown : public testing::TestWithParam<UnknownCase> {};

TEST_P(OptionsUnknown, SaysInvalidOptionAndPrintsHelp) {
    test_support::ConsoleCapture console;
    std::ostringstream help;
    CommandLine commandLine(GetParam().args);
    app::Options options;

    EXPECT_FALSE(options.Parse(commandLine.Argc(), commandLine.Argv(), help));

    EXPECT_EQ(console.Text(), "Invalid option");
    EXPECT_EQ(help.str(), kHelpText + "\n");
}

INSTANTIATE_TEST_SUITE_P(Unrecognised, OptionsUnknown,
                         testing::Values(UnknownCase{"DifferentCase", {"--Remove"}},
                                         UnknownCase{"UnknownLong", {"--foo"}},
                                         UnknownCase{"UnknownShort", {"-z"}},
                                         UnknownCase{"UnknownShortInGroup", {"-xz"}},
                                         UnknownCase{"TripleDash", {"---"}},
                                         UnknownCase{"UnknownBeforeHelp", {"--foo", "--help"}},
                                         UnknownCase{"UnknownAfterHelp", {"-?", "--foo"}},
                                         UnknownCase{"UnknownAfterValidOnes", {"-x", "-f", "n", "--bar"}}),
                         CaseName<UnknownCase>);

struct SyntaxCase {
    std::string name;
    std::vector<std::string> args;
    std::string whatContains;  // the part of the library's text that tells the errors apart
};

class OptionsSyntaxError : public testing::TestWithParam<SyntaxCase> {};

TEST_P(OptionsSyntaxError, ReachesTheCaller) {
    const SyntaxCase& c = GetParam();
    test_support::ConsoleCapture console;
    std::ostringstream help;
    CommandLine commandLine(c.args);
    app::Options options;

    try {
        options.Parse(commandLine.Argc(), commandLine.Argv(), help);
        ADD_FAILURE() << "no error";
    } catch (const po::unknown_option& error) {
        ADD_FAILURE() << "taken for an unknown option: " << error.what();
    } catch (const po::error& error) {
        EXPECT_NE(std::string(error.what()).find(c.whatContains), std::string::npos) << error.what();
    }
    EXPECT_EQ(console.Text(), "");
    EXPECT_EQ(help.str(), "");
}

INSTANTIATE_TEST_SUITE_P(
    LibraryErrors, OptionsSyntaxError,
    testing::Values(SyntaxCase{"MissingValueAtEnd", {"-i"}, "is missing"},
                    SyntaxCase{"OptionWhereTheValueShouldBe", {"-i", "-x"}, "is missing"},
                    SyntaxCase{"MissingLongValueAtEnd", {"-x", "--package-family-name"}, "is missing"},
                    SyntaxCase{"EmptyValueAfterEquals", {"--app-installer-file-uri="}, "equal sign"},
                    SyntaxCase{"ValueGivenToSwitch", {"--remove=yes"}, "does not take any arguments"},
                    SyntaxCase{"SwitchTwice", {"-x", "-x"}, "more than once"},
                    SyntaxCase{"SwitchTwiceInOneToken", {"-pp"}, "more than once"},
                    SyntaxCase{"ValueTwice", {"-i", "a", "--app-installer-file-uri=b"}, "more than once"},
                    SyntaxCase{"AmbiguousAbbreviation", {"--p"}, "ambiguous"}),
    CaseName<SyntaxCase>);

TEST(Options, PrintsTheHelpTextInTheLibraryLayout) {
    app::Options options;
    std::ostringstream help;
    help << options.Description();
    EXPECT_EQ(help.str(), kHelpText);
}

TEST(Options, NoArgumentVectorAtAllMeansNoOptions) {
    app::Options options;
    std::ostringstream help;
    ASSERT_TRUE(options.Parse(0, nullptr, help));
    EXPECT_EQ(options.AppInstallerFileUri(), kDefaultUri);
    EXPECT_FALSE(options.Remove());
}

TEST(Options, NonAsciiValueIsConvertedFromTheEnvironmentsEncoding) {
    app_test::ScopedLcAll locale("C.UTF-8");
    CommandLine commandLine({"-i", "https://h.test/caf\xc3\xa9", "-f", "Paket.\xf0\x9f\x93\xa6"});
    app::Options options;
    ASSERT_TRUE(options.Parse(commandLine.Argc(), commandLine.Argv()));
    EXPECT_EQ(options.AppInstallerFileUri(), L"https://h.test/caf\u00e9");
    EXPECT_EQ(options.PackageFamilyName(), L"Paket.\U0001F4E6");
}

TEST(Options, NonAsciiValueThatTheLocaleCannotConvertReachesTheCaller) {
    // The classic locale's encoding knows no byte above 0x7f.
    app_test::ScopedLcAll locale("C");
    CommandLine commandLine({"-f", "caf\xc3\xa9"});
    app::Options options;
    std::ostringstream help;
    test_support::ConsoleCapture console;
    EXPECT_THROW(options.Parse(commandLine.Argc(), commandLine.Argv(), help), std::logic_error);
    EXPECT_EQ(console.Text(), "");
    EXPECT_EQ(help.str(), "");
}

}  // namespace
