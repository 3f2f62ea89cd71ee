#include <gtest/gtest.h>

#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Entry.h"
#include "app/Options.h"
#include "platform/deployment/PackageManager.h"
#include "tests/support/ConsoleCapture.h"
#include "tests/support/TestCommandLine.h"

namespace {

using app_test::CommandLine;
using app_test::Echo;
using app_test::kDefaultFamilyUtf8;
using app_test::kDefaultUriUtf8;
using app_test::kHelpText;
using platform::deployment::IPackageManager;
using platform::deployment::PackageManagerFactory;

// The run stops where it obtains the service, so the tests see the entry's own
// words and its report of what reached it.
PackageManagerFactory Refusing() {
    return []() -> std::shared_ptr<IPackageManager> {
        throw platform::PlatformError(platform::kAccessDenied,
                                      platform::ErrorInfo{platform::kAccessDenied, std::nullopt, L"Service refused"});
    };
}
const std::string kRefused = "appdeploy error: code=0x80070005, message=Service refused\n";

struct EntryCase {
    std::string name;
    std::vector<std::string> args;
    int status;
    std::string console;
    std::string help;
    PackageManagerFactory factory = Refusing();
};

class Entry : public testing::TestWithParam<EntryCase> {};

TEST_P(Entry, WritesAndExitsAsExpected) {
    const EntryCase& c = GetParam();
    platform::deployment::ScopedPackageManagerActivation activation(c.factory);
    test_support::ConsoleCapture console;
    std::ostringstream help;
    CommandLine commandLine(c.args);

    EXPECT_EQ(app::Main(commandLine.Argc(), commandLine.Argv(), help), c.status);

    EXPECT_EQ(console.Text(), c.console);
    EXPECT_EQ(help.str(), c.help);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Entry,
    testing::Values(
        EntryCase{"HelpShort", {"-?"}, 0, "", kHelpText + "\n"},
        EntryCase{"HelpLong", {"--help"}, 0, "", kHelpText + "\n"},
        EntryCase{"HelpWinsOverOtherOptions", {"--help", "-x", "-f", "name"}, 0, "", kHelpText + "\n"},
        EntryCase{"UnknownOptionWinsOverHelp", {"--foo", "--help"}, 1, "Invalid option", kHelpText + "\n"},
        EntryCase{"UnknownOption", {"-z"}, 1, "Invalid option", kHelpText + "\n"},
        EntryCase{"NoArguments", {}, 1, Echo(kDefaultUriUtf8, false, false, kDefaultFamilyUtf8) + kRefused, ""},
        EntryCase{"Remove", {"-x"}, 1, Echo(kDefaultUriUtf8, false, true, kDefaultFamilyUtf8) + kRefused, ""},
        EntryCase{"Provision", {"-p"}, 1, Echo(kDefaultUriUtf8, true, false, kDefaultFamilyUtf8) + kRefused, ""},
        EntryCase{"GivenValues",
                  {"-px", "-i", "file:///tmp/a.appinstaller", "-f", "A_b"},
                  1,
                  Echo("file:///tmp/a.appinstaller", true, true, "A_b") + kRefused,
                  ""},
        EntryCase{"EmptyFamily", {"-x", "-f", ""}, 1, Echo(kDefaultUriUtf8, false, true, "") + kRefused, ""},
        EntryCase{"OutOfMemory",
                  {"-x"},
                  1,
                  Echo(kDefaultUriUtf8, false, true, kDefaultFamilyUtf8) + "appdeploy error: out of memory\n",
                  "",
                  []() -> std::shared_ptr<IPackageManager> { throw std::bad_alloc(); }},
        EntryCase{"OtherFailure",
                  {"-x"},
                  1,
                  Echo(kDefaultUriUtf8, false, true, kDefaultFamilyUtf8) +
                      "appdeploy error: code=0x80004005, message=service exploded\n",
                  "",
                  []() -> std::shared_ptr<IPackageManager> { throw std::runtime_error("service exploded"); }},
        EntryCase{"FailureThatIsNoStandardException",
                  {"-x"},
                  1,
                  Echo(kDefaultUriUtf8, false, true, kDefaultFamilyUtf8) +
                      "appdeploy error: code=0x80004005, message=Unspecified error\n",
                  "",
                  []() -> std::shared_ptr<IPackageManager> { throw 42; }}),
    [](const testing::TestParamInfo<EntryCase>& info) { return info.param.name; });

// The text the option library itself gives for a command line.
std::string LibraryText(const std::vector<std::string>& args) {
    test_support::ConsoleCapture console;
    CommandLine commandLine(args);
    app::Options options;
    try {
        options.Parse(commandLine.Argc(), commandLine.Argv());
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no error)";
}

struct CommandLineErrorCase {
    std::string name;
    std::vector<std::string> args;
};

class EntryCommandLineError : public testing::TestWithParam<CommandLineErrorCase> {};

TEST_P(EntryCommandLineError, IsOneLineAndStatusOne) {
    const app_test::ScopedLcAll utf8("C.UTF-8");
    const CommandLineErrorCase& c = GetParam();
    const std::string libraryText = LibraryText(c.args);
    ASSERT_NE(libraryText, "(no error)");
    platform::deployment::ScopedPackageManagerActivation activation(Refusing());
    test_support::ConsoleCapture console;
    std::ostringstream help;
    CommandLine commandLine(c.args);

    EXPECT_EQ(app::Main(commandLine.Argc(), commandLine.Argv(), help), 1);

    EXPECT_EQ(console.Text(), "Invalid command line: " + libraryText + "\n");
    EXPECT_EQ(help.str(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Rejected, EntryCommandLineError,
    testing::Values(CommandLineErrorCase{"MissingValue", {"-i"}},
                    CommandLineErrorCase{"EmptyValueAfterEquals", {"--app-installer-file-uri="}},
                    CommandLineErrorCase{"ValueGivenToSwitch", {"--remove=yes"}},
                    CommandLineErrorCase{"OptionTwice", {"-x", "-x"}},
                    CommandLineErrorCase{"AmbiguousAbbreviation", {"--p"}},
                    CommandLineErrorCase{"HelpDoesNotHideAnError", {"--help", "-i"}},
                    // Not UTF-8, nor ASCII (the classic locale's encoding).
                    CommandLineErrorCase{"ValueNotInTheLocalEncoding", {"-f", "caf\xe9"}}),
    [](const testing::TestParamInfo<CommandLineErrorCase>& info) { return info.param.name; });

TEST(EntryCommandLineErrorText, IsTheLibrarysOwnWords) {
    test_support::ConsoleCapture console;
    std::ostringstream help;
    CommandLine commandLine({"-i"});
    EXPECT_EQ(app::Main(commandLine.Argc(), commandLine.Argv(), help), 1);
    EXPECT_EQ(console.Text(),
              "Invalid command line: the required argument for option '--app-installer-file-uri' is missing\n");
}

// The library's message template uses placeholders such as %value%; a token
// that carries one made it replace forever.
TEST(EntryCommandLineErrorText, APlaceholderInATokenEndsInOneLine) {
    for (const char* token : {"--p=%canonical_option%", "--x%option%=", "--p=%original_token%%value%"}) {
        test_support::ConsoleCapture console;
        std::ostringstream help;
        CommandLine commandLine({token});
        EXPECT_EQ(app::Main(commandLine.Argc(), commandLine.Argv(), help), 1) << token;
        const std::string text = console.Text();
        EXPECT_EQ(text.rfind("Invalid command line: ", 0), 0u) << text;
        EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
        EXPECT_EQ(text.find('%'), std::string::npos) << text;
    }
}

// A message that is not UTF-8 throughout is shown as ASCII, every other byte a
// replacement character: no part of it is read as a character it might forge.
TEST(EntryCommandLineErrorText, TextThatIsNotUtf8KeepsOnlyItsAscii) {
    for (const char* token : {"--p=caf\xc3\xa9\xff", "--p=\xc0\xaf"}) {
        const std::string libraryText = LibraryText({token});
        std::string shown;
        for (const char c : libraryText) {
            shown += static_cast<unsigned char>(c) < 0x80 ? std::string(1, c) : std::string("\xef\xbf\xbd");
        }
        ASSERT_NE(shown, libraryText) << "the library's text keeps the token's bytes";
        test_support::ConsoleCapture console;
        std::ostringstream help;
        CommandLine commandLine({token});
        EXPECT_EQ(app::Main(commandLine.Argc(), commandLine.Argv(), help), 1) << token;
        EXPECT_EQ(console.Text(), "Invalid command line: " + shown + "\n");
    }
}

TEST(EntryEcho, EmptyUriIsEchoedAndThenRejectedByTheRun) {
    platform::deployment::ScopedPackageManagerActivation activation(Refusing());
    test_support::ConsoleCapture console;
    std::ostringstream help;
    CommandLine commandLine({"-i", ""});

    EXPECT_EQ(app::Main(commandLine.Argc(), commandLine.Argv(), help), 1);

    const std::string expected =
        Echo("", false, false, kDefaultFamilyUtf8) + "appdeploy error: code=0x80070057, message=";
    const std::string text = console.Text();
    EXPECT_EQ(text.substr(0, expected.size()), expected);
    EXPECT_EQ(text.find('\n', expected.size()), text.size() - 1) << text;
    EXPECT_EQ(help.str(), "");
}

TEST(EntryEcho, NonAsciiValuesArriveAsUtf8) {
    app_test::ScopedLcAll locale("C.UTF-8");
    platform::deployment::ScopedPackageManagerActivation activation(Refusing());
    test_support::ConsoleCapture console;
    std::ostringstream help;
    CommandLine commandLine({"-x", "-f", "Paket.caf\xc3\xa9.\xf0\x9f\x93\xa6"});

    EXPECT_EQ(app::Main(commandLine.Argc(), commandLine.Argv(), help), 1);

    EXPECT_EQ(console.Text(),
              Echo(kDefaultUriUtf8, false, true, "Paket.caf\xc3\xa9.\xf0\x9f\x93\xa6") + kRefused);
}

}  // namespace
