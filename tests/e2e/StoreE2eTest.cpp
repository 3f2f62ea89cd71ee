// The built tool against a real local store (APPDEPLOY_STORE): adds from files
// and from a loopback server, updates, provisioning, removal, and failures that
// must leave the store exactly as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "platform/Utf8.h"
#include "tests/support/HttpServer.h"
#include "tests/support/RunProcess.h"
#include "tests/support/StoreTesting.h"

namespace {

using store_testing::FamilyNameOf;
using store_testing::FileUri;
using store_testing::FullNameOf;
using store_testing::SampleIdentity;
using store_testing::ServeAppInstaller;
using store_testing::Snapshot;
using store_testing::TempDir;
using test_support::HttpServer;
using test_support::ProcessOptions;
using test_support::ProcessResult;
namespace fs = std::filesystem;

std::string Utf8(const std::wstring& text) { return platform::ToUtf8(text); }

// What a run wrote after echoing its settings, with each request's progress
// taken out (and checked) and activity ids replaced by {GUID}.
struct Transcript {
    std::string text;
    std::vector<std::vector<int>> progress;  // per request
};

Transcript Normalize(const std::string& err) {
    Transcript transcript;
    std::string rest = err;
    const auto echoEnd = rest.find('\n', rest.find("Package family name: "));
    if (echoEnd != std::string::npos) {
        rest = rest.substr(echoEnd + 1);
    }
    static const std::regex kToken(R"(\rProgress: (\d+)%|\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\}|\rDeployment result: )");
    std::vector<int> current;
    std::size_t copied = 0;
    for (auto it = std::sregex_iterator(rest.begin(), rest.end(), kToken); it != std::sregex_iterator(); ++it) {
        const std::smatch& match = *it;
        transcript.text += rest.substr(copied, static_cast<std::size_t>(match.position()) - copied);
        copied = static_cast<std::size_t>(match.position() + match.length());
        if (match[1].matched) {
            current.push_back(std::stoi(match[1].str()));
        } else if (match.str()[0] == '{') {
            transcript.text += "{GUID}";
        } else {
            transcript.text += match.str();
            transcript.progress.push_back(std::move(current));
            current.clear();
        }
    }
    transcript.text += rest.substr(copied);
    return transcript;
}

// The version the failing adds bring.
const std::string kNew = "2.0.0.0";

const std::string kAddStart = "\nStarting add package from app installer file\n";
const std::string kAdded = "\rDeployment result: ActivityId={GUID}, IsRegistered=true\nAdd package completed\n";

std::string Failed(const std::string& context, const std::string& code, const std::string& errorText,
                   const std::string& message) {
    return "\rDeployment result: ActivityId={GUID}, IsRegistered=false\nDeployment result error: ExtendedErrorCode=0x" +
           code + ", ErrorText: " + errorText + "\n" + context + " error: code=0x" + code + ", message=" + message + "\n";
}

class StoreE2e : public testing::Test {
protected:
    void SetUp() override { fs::create_directories(m_source); }

    ProcessResult Run(const std::vector<std::string>& args, ProcessOptions options = {}) {
        options.env.emplace_back("APPDEPLOY_STORE", m_store.string());
        options.killAfter = std::chrono::seconds(60);
        return test_support::RunProcess(APPDEPLOY_EXE, args, options);
    }

    // Runs the tool and checks the exit status, the transcript after the
    // settings echo, and that progress only went up, reaching 100 on success.
    void Expect(const std::vector<std::string>& args, int exitStatus, const std::string& transcript) {
        const ProcessResult result = Run(args);
        EXPECT_EQ(result.exitStatus, exitStatus) << result.err;
        const Transcript actual = Normalize(result.err);
        EXPECT_EQ(actual.text, transcript);
        for (const auto& progress : actual.progress) {
            for (std::size_t i = 1; i < progress.size(); ++i) {
                EXPECT_LT(progress[i - 1], progress[i]);
            }
        }
        EXPECT_EQ(result.out, "");
    }

    std::string Sample(const std::string& version, const std::string& tag = "one") {
        const std::string base = "app_" + version;
        return FileUri(store_testing::WriteSample(m_source, SampleIdentity(version), base + ".appx",
                                                  base + ".appinstaller", {}, store_testing::SamplePayload(tag)));
    }

    std::string Family() const { return Utf8(FamilyNameOf(SampleIdentity())); }
    std::string FullName(const std::string& version) const { return Utf8(FullNameOf(SampleIdentity(version))); }
    fs::path PackageDir(const std::string& version) const { return m_store / "packages" / FullName(version); }

    TempDir m_dir;
    fs::path m_store = store_testing::TrustingStore(m_dir / "store");
    fs::path m_source = m_dir / "source";
};

TEST_F(StoreE2e, AddsFromAFileAndAgainWithoutExtracting) {
    const std::string uri = Sample("1.0.0.0");
    Expect({"-i", uri, "-f", Family()}, 0, kAddStart + kAdded);
    EXPECT_EQ(store_testing::ReadFile(PackageDir("1.0.0.0") / "readme.txt"), "hello one");
    std::ofstream(PackageDir("1.0.0.0") / "marker") << "first";
    Expect({"-i", uri, "-f", Family()}, 0, kAddStart + kAdded);
    EXPECT_TRUE(fs::exists(PackageDir("1.0.0.0") / "marker"));
}

TEST_F(StoreE2e, AddsOverHttpFromALoopbackServer) {
    const auto identity = SampleIdentity("1.0.0.0");
    store_testing::WriteSignedPackage(m_source / "app.appx", identity, store_testing::SamplePayload("http"));
    HttpServer server;
    const std::string uri = ServeAppInstaller(server, identity, "app.appx", "/release-app/AppPackage.appinstaller");
    server.Route("/release-app/app.appx", HttpServer::Response::File(m_source / "app.appx"));
    Expect({"-i", uri, "-f", Family()}, 0, kAddStart + kAdded);
    EXPECT_EQ(store_testing::ReadFile(PackageDir("1.0.0.0") / "App.exe"), "binary of http");
}

TEST_F(StoreE2e, UpdatesAndRefusesToGoBack) {
    const std::string first = Sample("1.0.0.0", "first");
    Expect({"-i", first, "-f", Family()}, 0, kAddStart + kAdded);
    Expect({"-i", Sample("1.1.0.0", "second"), "-f", Family()}, 0, kAddStart + kAdded);
    EXPECT_EQ(store_testing::PackageFolders(m_store), std::vector<std::string>{FullName("1.1.0.0")});
    EXPECT_EQ(store_testing::ReadFile(PackageDir("1.1.0.0") / "readme.txt"), "hello second");

    const std::string before = Snapshot(m_store);
    Expect({"-i", first, "-f", Family()}, 1,
           kAddStart + Failed("Add package", "80073d06",
                              "Cannot add " + FullName("1.0.0.0") + ": the higher version " + FullName("1.1.0.0") +
                                  " is already installed.",
                              "The package could not be installed because a higher version of this package is "
                              "already installed."));
    EXPECT_EQ(Snapshot(m_store), before);
}

TEST_F(StoreE2e, ProvisionsThenDeprovisionsAndRemovesForAllUsers) {
    Expect({"-i", Sample("1.0.0.0"), "-f", Family(), "-p"}, 0,
           kAddStart + kAdded + "\nStarting provision package for all users\n" +
               "\rDeployment result: ActivityId={GUID}, IsRegistered=false\nProvision package completed\n");
    Expect({"-x", "-p", "-f", Family()}, 0,
           "\nStarting deprovision package for all users\n"
           "\rDeployment result: ActivityId={GUID}, IsRegistered=false\nDeprovision package completed\n"
           "\nStarting remove packages\nStarting remove package: " +
               FullName("1.0.0.0") +
               "\n\rDeployment result: ActivityId={GUID}, IsRegistered=false\nRemove package completed\n"
               "Completed remove packages, count=1\n");
    EXPECT_EQ(store_testing::PackageFolders(m_store), std::vector<std::string>{});
    // Deprovisioning again: the family is no longer provisioned.
    Expect({"-x", "-p", "-f", Family()}, 1,
           "\nStarting deprovision package for all users\n" +
               Failed("Deprovision package", "80073cf1", "The package family " + Family() + " is not provisioned.",
                      "Package was not found.") +
               "\nStarting remove packages\nCompleted remove packages, no package found\n");
}

TEST_F(StoreE2e, RemovesForTheCurrentUser) {
    Expect({"-i", Sample("1.0.0.0"), "-f", Family()}, 0, kAddStart + kAdded);
    Expect({"-x", "-f", Family()}, 0,
           "\nStarting remove packages\nStarting remove package: " + FullName("1.0.0.0") +
               "\n\rDeployment result: ActivityId={GUID}, IsRegistered=false\nRemove package completed\n"
               "Completed remove packages, count=1\n");
    EXPECT_EQ(store_testing::PackageFolders(m_store), std::vector<std::string>{});
    Expect({"-x", "-f", Family()}, 0, "\nStarting remove packages\nCompleted remove packages, no package found\n");
}

// The platform matches names without regard to case and prints them as the package spells them.
TEST_F(StoreE2e, MatchesNamesWithoutRegardToCase) {
    std::string family = Family();
    std::string upperPublisher = family;
    const auto publisherId = upperPublisher.find('_') + 1;
    std::transform(upperPublisher.begin() + static_cast<std::ptrdiff_t>(publisherId), upperPublisher.end(),
                   upperPublisher.begin() + static_cast<std::ptrdiff_t>(publisherId), ::toupper);
    std::string lower = family;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);

    // The AppInstaller file spells the name otherwise than the package does.
    store_testing::WriteSignedPackage(m_source / "p.appx", SampleIdentity("1.0.0.0"), store_testing::SamplePayload());
    packaging::AppInstallerContent installerFile;
    installerFile.uri = FileUri(m_source / "p.appinstaller");
    installerFile.mainPackage = {SampleIdentity("1.0.0.0", "ORU.sample.app"), "p.appx"};
    packaging::WriteAppInstallerFile(m_source / "p.appinstaller", installerFile);
    Expect({"-i", installerFile.uri, "-f", upperPublisher, "-p"}, 0,
           kAddStart + kAdded + "\nStarting provision package for all users\n" +
               "\rDeployment result: ActivityId={GUID}, IsRegistered=false\nProvision package completed\n");
    EXPECT_EQ(store_testing::PackageFolders(m_store), std::vector<std::string>{FullName("1.0.0.0")});

    const std::string removed = "\nStarting remove packages\nStarting remove package: " + FullName("1.0.0.0") +
                                "\n\rDeployment result: ActivityId={GUID}, IsRegistered=false\nRemove package completed\n"
                                "Completed remove packages, count=1\n";
    Expect({"-x", "-p", "-f", lower}, 0,
           "\nStarting deprovision package for all users\n"
           "\rDeployment result: ActivityId={GUID}, IsRegistered=false\nDeprovision package completed\n" + removed);
    EXPECT_EQ(store_testing::PackageFolders(m_store), std::vector<std::string>{});

    Expect({"-i", Sample("1.0.0.0"), "-f", family}, 0, kAddStart + kAdded);
    Expect({"-x", "-f", upperPublisher}, 0, removed);
    EXPECT_EQ(store_testing::PackageFolders(m_store), std::vector<std::string>{});
}

TEST_F(StoreE2e, NonAsciiCommandLineValuesAreUsedAsGiven) {
    fs::create_directories(m_source / "caf\xC3\xA9");
    const std::string uri = FileUri(store_testing::WriteSample(m_source / "caf\xC3\xA9", SampleIdentity("1.0.0.0"),
                                                               "app.appx", "app.appinstaller"));
    ProcessOptions options;
    options.env.emplace_back("LC_ALL", "C.UTF-8");
    ProcessResult result = Run({"-i", uri, "-f", Family()}, options);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_NE(result.err.find("App installer file URI: " + uri + "\n"), std::string::npos) << result.err;
    EXPECT_EQ(store_testing::PackageFolders(m_store), std::vector<std::string>{FullName("1.0.0.0")});
}

// A failed add: what the sources hold, and the error text the result carries.
struct FailureCase {
    std::string name;
    std::string code;
    std::string message;
    // Prepares the sources; returns the AppInstaller file's URI and the expected error text.
    std::function<std::pair<std::string, std::string>(const fs::path& source, HttpServer& server)> prepare;
    // The packaging library's code, for a package that could not be opened.
    std::string extended = {};
};

const std::string kCannotOpen = "80073cf0";
const std::string kCannotOpenMessage = "Package could not be opened.";

void PrintTo(const FailureCase& failure, std::ostream* out) { *out << failure.name; }

class StoreE2eFailure : public StoreE2e, public testing::WithParamInterface<FailureCase> {};

// Whether a control character or bidirectional override reached the terminal
// other than the line ends and the carriage returns of progress and result.
bool HasRawControl(std::string err) {
    err = std::regex_replace(err, std::regex("\r(Progress: [0-9]+%|Deployment result: )"), "");
    for (const wchar_t c : platform::FromUtf8Lossy(err)) {
        if ((c < 0x20 && c != L'\n') || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
            (c >= 0x2066 && c <= 0x2069)) {
            return true;
        }
    }
    return false;
}

TEST_P(StoreE2eFailure, ReportsTheFailureAndLeavesTheStoreAsItWas) {
    // A lower version installed already: the failed add was an update, and
    // "unchanged" covers a store with content.
    Expect({"-i", Sample("1.0.0.0"), "-f", Family()}, 0, kAddStart + kAdded);
    HttpServer server;
    const auto [uri, errorText] = GetParam().prepare(m_source, server);
    const std::string before = Snapshot(m_store);
    const ProcessResult result = Run({"-i", uri, "-f", Family()});
    EXPECT_EQ(result.exitStatus, 1);
    std::string expected = kAddStart + Failed("Add package", GetParam().code, errorText, GetParam().message);
    if (const std::string& extended = GetParam().extended; !extended.empty()) {
        std::string upper = extended;
        std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
        expected = kAddStart + "\rDeployment result: ActivityId={GUID}, IsRegistered=false\nDeployment result error: "
                               "ExtendedErrorCode=0x" + extended + ", ErrorText: Package could not be opened (0x80073CF0): "
                               "error 0x" + upper + ": " + errorText + "\nAdd package error: code=0x" + kCannotOpen +
                   ", message=" + kCannotOpenMessage + "\n";
    }
    EXPECT_EQ(Normalize(result.err).text, expected);
    EXPECT_FALSE(HasRawControl(result.err));
    EXPECT_EQ(Snapshot(m_store), before);
}

std::pair<std::string, std::string> BrokenLocalPackage(const fs::path& source, const test_support::PackageFaults& faults,
                                                       const std::string& fault) {
    const auto file = store_testing::WriteSample(source, SampleIdentity(kNew), "p.appx", "p.appinstaller", faults);
    return {FileUri(file), "The package \"" + (source / "p.appx").string() + "\" " + fault};
}

// An AppInstaller file naming the sample, its MainPackage's Name written as
// given; the error text says that Name is not valid.
std::pair<std::string, std::string> AppInstallerNamed(const fs::path& source, const std::string& nameXml,
                                                      const std::string& fault) {
    packaging::AppInstallerContent installerFile;
    installerFile.uri = FileUri(source / "p.appinstaller");
    installerFile.mainPackage = {SampleIdentity(kNew), "p.appx"};
    std::string xml = packaging::AppInstallerXml(installerFile);
    const std::string name = "Name=\"" + SampleIdentity(kNew).name + "\"";
    xml.replace(xml.find(name), name.size(), "Name=\"" + nameXml + "\"");
    std::ofstream(source / "p.appinstaller", std::ios::binary) << xml;
    return {installerFile.uri, "The AppInstaller file \"" + installerFile.uri + "\" is not valid: " + fault + "."};
}

const std::string kNotAName = "\" is not 3 to 50 letters, digits, '.' or '-'";

std::pair<std::string, std::string> WithEntries(const fs::path& source, std::vector<test_support::RawEntry> entries,
                                                const std::string& fault) {
    test_support::PackageFaults faults;
    faults.extraEntries = std::move(entries);
    return BrokenLocalPackage(source, faults, fault);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, StoreE2eFailure,
    testing::Values(
        FailureCase{"NotFound", "80190194", "Not found (404).",
                    [](const fs::path&, HttpServer& server) {
                        const std::string uri = ServeAppInstaller(server, SampleIdentity(kNew));
                        return std::pair{uri, "Cannot download " + server.Url("/p.appx") +
                                                  ": the server answered with HTTP status 404."};
                    }},
        FailureCase{"DroppedHalfWay", "80072efe", "The connection with the server was terminated abnormally",
                    [](const fs::path& source, HttpServer& server) {
                        store_testing::WriteSignedPackage(source / "p.appx", SampleIdentity(kNew),
                                                store_testing::SamplePayload());
                        auto response = HttpServer::Response::File(source / "p.appx");
                        response.dropAfter = fs::file_size(source / "p.appx") / 2;
                        server.Route("/p.appx", response);
                        const std::string uri = ServeAppInstaller(server, SampleIdentity(kNew));
                        return std::pair{uri, "Cannot download " + server.Url("/p.appx") +
                                                  ": the connection ended before the whole response arrived."};
                    }},
        FailureCase{"CorruptBlock", "80080207",
                    "The computed hash value of the block does not match the one stored in the block map.",
                    [](const fs::path& source, HttpServer&) {
                        test_support::PackageFaults faults;
                        faults.corruptBlockOf = "Assets/Logo.png";
                        return BrokenLocalPackage(source, faults,
                                                  "has a file \"Assets/Logo.png\" whose block 1 does not match the "
                                                  "hash in its block map.");
                    }},
        FailureCase{"ZipSlip", kCannotOpen, kCannotOpenMessage,
                    [](const fs::path& source, HttpServer&) {
                        test_support::PackageFaults faults;
                        faults.extraEntries.push_back({"../../evil.txt", "escaped"});
                        return BrokenLocalPackage(source, faults, "has an entry \"../../evil.txt\" whose path is not a safe relative path.");
                    },
                    "80080206"},
        FailureCase{"EscapeSequencesInAnEntryName", kCannotOpen, kCannotOpenMessage,
                    [](const fs::path& source, HttpServer&) {
                        return WithEntries(source, {{"\x1b[2J\x1b]0;owned\x07\r\nAdd package completed\n", "x"}},
                                           "has an entry \"\\x1b[2J\\x1b]0;owned\\x07\\x0d\\x0aAdd package "
                                           "completed\\x0a\" whose path is not a safe relative path.");
                    },
                    "80080206"},
        FailureCase{"C1AndBidiInAnEntryName", kCannotOpen, kCannotOpenMessage,
                    [](const fs::path& source, HttpServer&) {
                        return WithEntries(source, {{"\xC2\x9B" "2J\xE2\x80\xAEtxt.exe", "x"}},
                                           "has a file \"\\x9b2J\\u202etxt.exe\" that its block map does not list.");
                    },
                    "80080205"},
        FailureCase{"NamesThatDifferOnlyInUnicodeCase", kCannotOpen, kCannotOpenMessage,
                    [](const fs::path& source, HttpServer&) {
                        return WithEntries(source, {{"\xC3\x89t\xC3\xA9.txt", "upper"}, {"\xC3\xA9T\xC3\x89.txt", "lower"}},
                                           "holds more than one entry named \"\xC3\xA9T\xC3\x89.txt\" (names that "
                                           "differ only in case count as the same).");
                    },
                    "80080206"},
        FailureCase{"ForgedLineInTheAppInstallerName", "8008020c", "The .appinstaller file is not valid.",
                    [](const fs::path& source, HttpServer&) {
                        return AppInstallerNamed(source, "A.Pkg&#xA;Add package completed&#xD;&#xA;",
                                                 "in MainPackage, the Name \"A.Pkg\\x0aAdd package completed\\x0d\\x0a" +
                                                     kNotAName);
                    }},
        FailureCase{"C1AndBidiInTheAppInstallerName", "8008020c", "The .appinstaller file is not valid.",
                    [](const fs::path& source, HttpServer&) {
                        return AppInstallerNamed(source, "&#x9B;2J&#x202E;A.Pkg",
                                                 "in MainPackage, the Name \"\\x9b2J\\u202eA.Pkg" + kNotAName);
                    }},
        FailureCase{"NulReferenceInTheAppInstallerName", "8008020c", "The .appinstaller file is not valid.",
                    [](const fs::path& source, HttpServer&) {
                        auto [uri, text] = AppInstallerNamed(source, "A.Pkg&#0;x", "");
                        const std::string xml = store_testing::ReadFile(source / "p.appinstaller");
                        return std::pair{uri, text.substr(0, text.size() - 1) +
                                                  "the XML cannot be read (reference to invalid character number at "
                                                  "offset " + std::to_string(xml.find("&#0;")) + ")."};
                    }},
        FailureCase{"IdentityMismatch", "80073d36", "The provided package name does not match the expected package name.",
                    [](const fs::path& source, HttpServer&) {
                        store_testing::WriteSignedPackage(source / "p.appx", SampleIdentity("2.0.0.1"), store_testing::SamplePayload());
                        packaging::AppInstallerContent installerFile;
                        installerFile.uri = FileUri(source / "p.appinstaller");
                        installerFile.mainPackage = {SampleIdentity(kNew), "p.appx"};
                        packaging::WriteAppInstallerFile(source / "p.appinstaller", installerFile);
                        return std::pair{installerFile.uri, "The package at " + FileUri(source / "p.appx") + " is " +
                                                       Utf8(FullNameOf(SampleIdentity("2.0.0.1"))) + ", but " +
                                                       installerFile.uri + " names " + Utf8(FullNameOf(SampleIdentity(kNew))) +
                                                       "."};
                    }}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST_F(StoreE2e, AStoreThatCannotBeOpenedStopsTheRun) {
    Run({"-x", "-f", Family()});  // makes the store, with nothing to remove
    std::ofstream(m_store / "registry.db") << std::string(4096, 'x');
    ProcessResult result = Run({"-i", Sample("1.0.0.0"), "-f", Family()});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_TRUE(EndsWith(result.err, " error: code=0x80073cfe, message=The package registry " +
                                         (m_store / "registry.db").string() +
                                         " cannot be used: file is not a database.\n"))
        << result.err;

    std::ofstream(m_dir / "file") << "not a folder";
    ProcessOptions options;
    options.env.emplace_back("APPDEPLOY_STORE", (m_dir / "file" / "store").string());
    result = test_support::RunProcess(APPDEPLOY_EXE, {"-x", "-f", Family()}, options);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_TRUE(EndsWith(result.err, " error: code=0x80070003, message=Cannot create the package store " +
                                         (m_dir / "file" / "store").string() + ": Not a directory\n"))
        << result.err;
}

TEST_F(StoreE2e, ADownloadThatDoesNotFitLeavesTheStoreAsItWas) {
    Expect({"-i", Sample("1.0.0.0"), "-f", Family()}, 0, kAddStart + kAdded);
    std::vector<packaging::PayloadFile> payload = store_testing::SamplePayload();
    payload.push_back({"Data/noise.bin", store_testing::Noise(4 * 1024 * 1024, 7), false});
    store_testing::WriteSignedPackage(m_source / "p.appx", SampleIdentity(kNew), payload);
    HttpServer server;
    server.Route("/p.appx", HttpServer::Response::File(m_source / "p.appx"));
    const std::string uri = ServeAppInstaller(server, SampleIdentity(kNew));
    const std::string before = Snapshot(m_store);

    // No file may grow beyond 1 MiB (the registry stays far below): the
    // download runs out of room as on a full disk.
    ProcessOptions options;
    options.env.emplace_back("APPDEPLOY_STORE", m_store.string());
    const ProcessResult result = test_support::RunProcess(
        "/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 2048; exec \"$0\" \"$@\"", APPDEPLOY_EXE, "-i", uri, "-f", Family()},
        options);
    EXPECT_EQ(result.exitStatus, 1);
    const Transcript transcript = Normalize(result.err);
    EXPECT_NE(transcript.text.find("ExtendedErrorCode=0x80073cf4, ErrorText: Cannot write " + m_store.string() +
                                   "/staging/"),
              std::string::npos)
        << transcript.text;
    EXPECT_TRUE(EndsWith(transcript.text, "Add package error: code=0x80073cf4, message=There is not enough disk space on "
                                          "your computer. Please free up some space and try again.\n"))
        << transcript.text;
    EXPECT_EQ(Snapshot(m_store), before);
}

TEST_F(StoreE2e, WithoutAUsableLibcurlOnlyDownloadsFail) {
    // Found first on the library path: a libcurl that cannot be loaded.
    fs::create_directories(m_dir / "lib");
    std::ofstream(m_dir / "lib" / "libcurl.so.4") << "not a library";
    ProcessOptions options;
    options.env.emplace_back("LD_LIBRARY_PATH", (m_dir / "lib").string());

    ProcessResult result = Run({"-i", Sample("1.0.0.0"), "-f", Family()}, options);
    EXPECT_EQ(result.exitStatus, 0) << result.err;

    HttpServer server;
    const std::string uri = ServeAppInstaller(server, SampleIdentity(kNew));
    const std::string before = Snapshot(m_store);
    result = Run({"-i", uri, "-f", Family()}, options);
    EXPECT_EQ(result.exitStatus, 1);
    const Transcript transcript = Normalize(result.err);
    EXPECT_NE(transcript.text.find("ExtendedErrorCode=0x80073cf5, ErrorText: Cannot download " + uri + ": " +
                                   (m_dir / "lib" / "libcurl.so.4").string()),
              std::string::npos)
        << transcript.text;
    EXPECT_EQ(Snapshot(m_store), before);
}

}  // namespace
