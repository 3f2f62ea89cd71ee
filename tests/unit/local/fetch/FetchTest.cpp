// Fetching: local files, and downloads against a loopback server that answers,
// refuses, redirects, drops and stalls.
#include <gtest/gtest.h>
#include <netdb.h>

#include <chrono>
#include <string>

#include "platform/Error.h"
#include "platform/Uri.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/fetch/Fetch.h"
#include "tests/support/HttpServer.h"
#include "tests/support/Raised.h"
#include "tests/support/StoreTesting.h"

namespace {

using platform::hresult;
using platform::ToHresult;
using platform::Uri;
using platform::deployment::local::FetchOptions;
using platform::deployment::local::FetchText;
using platform::deployment::local::FetchToFile;
using platform::FromUtf8Lossy;
using platform::deployment::local::kAppInstallerFileLimit;
using store_testing::TempDir;
namespace fs = std::filesystem;
using test_support::FailureOf;
using test_support::HttpServer;

Uri MakeUri(const std::string& text) { return Uri(FromUtf8Lossy(text)); }

FetchOptions QuickOptions() {
    FetchOptions options;
    options.connectTimeout = std::chrono::milliseconds(2000);
    options.stallTimeout = std::chrono::milliseconds(1000);
    return options;
}

TEST(FetchTest, RefusesPlainHttpToAnotherHostWithoutConnecting) {
    // Port 9 on a TEST-NET address: a connection attempt would hang or fail differently.
    const auto start = std::chrono::steady_clock::now();
    const auto [code, text] =
        FailureOf([] { FetchText(MakeUri("http://192.0.2.1:9/a.appinstaller"), 100, QuickOptions()); });
    EXPECT_EQ(code, platform::kInvalidArgument);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST(FetchTest, ReadsTheBodyOfA200) {
    HttpServer server;
    server.Route("/a.appinstaller", HttpServer::Response::Text("<AppInstaller/>"));
    EXPECT_EQ(FetchText(MakeUri(server.Url("/a.appinstaller")), 1000, QuickOptions()), "<AppInstaller/>");
}

struct StatusCase {
    std::string name;
    HttpServer::Response response;
    hresult code;
    std::wstring textPart;
};

void PrintTo(const StatusCase& value, std::ostream* out) { *out << value.name; }

class FetchStatusTest : public testing::TestWithParam<StatusCase> {};

TEST_P(FetchStatusTest, EndsWithTheCodeOfWhatWentWrong) {
    HttpServer server;
    server.Route("/p.appx", GetParam().response);
    const std::string url = server.Url("/p.appx");
    TempDir dir;
    const auto [code, text] = FailureOf([&] { FetchToFile(MakeUri(url), dir / "p.appx", QuickOptions()); });
    EXPECT_EQ(static_cast<std::uint32_t>(code), static_cast<std::uint32_t>(GetParam().code));
    EXPECT_NE(text.find(FromUtf8Lossy(url)), std::wstring::npos) << "names the URI";
    EXPECT_NE(text.find(GetParam().textPart), std::wstring::npos) << platform::ToUtf8(text);
}

HttpServer::Response Body(std::size_t size) { return HttpServer::Response::Text(std::string(size, 'b')); }

INSTANTIATE_TEST_SUITE_P(
    Failures, FetchStatusTest,
    testing::Values(
        StatusCase{"NotFound", HttpServer::Response::Text("nope", 404), ToHresult(0x80190194), L"HTTP status 404"},
        StatusCase{"ServerError", HttpServer::Response::Text("oops", 500), ToHresult(0x801901F4), L"HTTP status 500"},
        StatusCase{"RedirectWithoutLocation", HttpServer::Response::Text("", 302), ToHresult(0x8019012E), L"HTTP status 302"},
        StatusCase{"DroppedHalfWay", [] { auto r = Body(200000); r.dropAfter = 100000; return r; }(),
                   ToHresult(0x80072EFE), L"ended before"},
        StatusCase{"ResetHalfWay", [] { auto r = Body(200000); r.resetAfter = 100000; return r; }(),
                   ToHresult(0x80072EFF), L"reset"},
        StatusCase{"Stalled", [] { auto r = Body(200000); r.stallAfter = 1000; return r; }(),
                   ToHresult(0x80072EE2), L"stopped responding"}),
    [](const testing::TestParamInfo<StatusCase>& info) { return info.param.name; });

TEST(FetchTest, StreamsAFileDownloadExactly) {
    TempDir dir;
    std::string content(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>((i * 7919) >> 5);
    }
    packaging::WriteFile(dir / "source.bin", content);
    HttpServer server;
    server.Route("/p.appx", HttpServer::Response::File(dir / "source.bin"));
    std::uint64_t lastDone = 0;
    std::uint64_t lastTotal = 0;
    FetchOptions options = QuickOptions();
    options.progress = [&](std::uint64_t done, std::uint64_t total) {
        EXPECT_GE(done, lastDone);
        lastDone = done;
        lastTotal = total;
    };
    FetchToFile(MakeUri(server.Url("/p.appx")), dir / "copy.bin", options);
    EXPECT_TRUE(store_testing::ReadFile(dir / "copy.bin") == content);
    EXPECT_EQ(lastDone, content.size());
    EXPECT_EQ(lastTotal, content.size());
}

TEST(FetchTest, FollowsFiveRedirectsButNotSix) {
    HttpServer server;
    server.Route("/final", HttpServer::Response::Text("arrived"));
    for (int i = 1; i <= 6; ++i) {
        server.Redirect("/hop" + std::to_string(i), i == 1 ? "/final" : server.Url("/hop" + std::to_string(i - 1)));
    }
    EXPECT_EQ(FetchText(MakeUri(server.Url("/hop5")), 100, QuickOptions()), "arrived");
    const auto [code, text] = FailureOf([&] { FetchText(MakeUri(server.Url("/hop6")), 100, QuickOptions()); });
    EXPECT_EQ(static_cast<std::uint32_t>(code), 0x8019012Eu);
    EXPECT_NE(text.find(L"more than 5 redirects"), std::wstring::npos);
    EXPECT_EQ(server.Requests("/final"), 1u) << "the sixth redirect is not followed";
}

TEST(FetchTest, RefusesARedirectToPlainHttpOnAnotherHost) {
    HttpServer server;
    server.Redirect("/a", "http://192.0.2.1:9/elsewhere", 301);
    const auto start = std::chrono::steady_clock::now();
    const auto [code, text] = FailureOf([&] { FetchText(MakeUri(server.Url("/a")), 100, QuickOptions()); });
    EXPECT_EQ(static_cast<std::uint32_t>(code), 0x8019012Du);
    EXPECT_NE(text.find(L"http://192.0.2.1:9/elsewhere"), std::wstring::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

TEST(FetchTest, RefusesAnAppInstallerFileLargerThanOneMebibyte) {
    HttpServer server;
    server.Route("/exact", Body(kAppInstallerFileLimit));
    server.Route("/big", Body(kAppInstallerFileLimit + 1));
    // Without a length announced up front, the count of what arrives decides.
    server.Route("/unannounced", [] { auto r = Body(kAppInstallerFileLimit + 4096); r.noLength = true; return r; }());
    EXPECT_EQ(FetchText(MakeUri(server.Url("/exact")), kAppInstallerFileLimit, QuickOptions()).size(),
              kAppInstallerFileLimit);
    for (const char* path : {"/big", "/unannounced"}) {
        const auto [code, text] =
            FailureOf([&] { FetchText(MakeUri(server.Url(path)), kAppInstallerFileLimit, QuickOptions()); });
        EXPECT_EQ(static_cast<std::uint32_t>(code), 0x8008020Cu) << path;
        EXPECT_NE(text.find(L"larger than 1 MiB"), std::wstring::npos) << path;
    }

    TempDir dir;
    packaging::WriteFile(dir / "big.appinstaller", std::string(kAppInstallerFileLimit + 1, ' '));
    const auto [code, text] = FailureOf([&] {
        FetchText(MakeUri(store_testing::FileUri(dir / "big.appinstaller")), kAppInstallerFileLimit, QuickOptions());
    });
    EXPECT_EQ(static_cast<std::uint32_t>(code), 0x8008020Cu);
}

TEST(FetchTest, ReportsAMissingLocalFile) {
    TempDir dir;
    const std::string uri = store_testing::FileUri(dir / "missing.appinstaller");
    const auto [code, text] = FailureOf([&] { FetchText(MakeUri(uri), 100); });
    EXPECT_EQ(code, platform::kFileNotFound);
    EXPECT_NE(text.find(FromUtf8Lossy(uri)), std::wstring::npos);
}

TEST(FetchTest, ReadsALocalFileWithEscapesInItsPath) {
    TempDir dir;
    fs::create_directory(dir / "with space");
    packaging::WriteFile(dir / "with space" / "a.appinstaller", "local");
    EXPECT_EQ(FetchText(MakeUri("file://" + (dir / "with%20space" / "a.appinstaller").string()), 100), "local");
}

TEST(FetchTest, ReportsARefusedConnection) {
    int port = 0;
    {
        HttpServer server;  // a port that was free a moment ago and is closed now
        port = server.Port();
    }
    const auto [code, text] =
        FailureOf([&] { FetchText(MakeUri("http://127.0.0.1:" + std::to_string(port) + "/a"), 100, QuickOptions()); });
    EXPECT_EQ(static_cast<std::uint32_t>(code), 0x80072EFDu);
}

TEST(FetchTest, ReportsAnUnresolvableHost) {
    // Only where the resolver answers at once; a resolver that waits for a
    // network that is not there would make this test slow, not better.
    const auto start = std::chrono::steady_clock::now();
    addrinfo* found = nullptr;
    const int lookup = ::getaddrinfo("appdeploy-test.invalid", "443", nullptr, &found);
    if (found != nullptr) {
        ::freeaddrinfo(found);
    }
    if (lookup == 0 || std::chrono::steady_clock::now() - start > std::chrono::seconds(1)) {
        GTEST_SKIP() << "the resolver does not fail fast here";
    }
    const auto [code, text] =
        FailureOf([] { FetchText(MakeUri("https://appdeploy-test.invalid/a.appinstaller"), 100, QuickOptions()); });
    EXPECT_EQ(static_cast<std::uint32_t>(code), 0x80072EE7u);
    EXPECT_NE(text.find(L"appdeploy-test.invalid"), std::wstring::npos);
}

TEST(FetchTest, StopsWhenCancelled) {
    HttpServer server;
    server.Route("/slow", [] { auto r = Body(100000); r.stallAfter = 10; return r; }());
    FetchOptions options = QuickOptions();
    options.stallTimeout = std::chrono::milliseconds(20000);
    const auto start = std::chrono::steady_clock::now();
    options.cancelled = [&] { return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(200); };
    TempDir dir;
    const auto [code, text] = FailureOf([&] { FetchToFile(MakeUri(server.Url("/slow")), dir / "x", options); });
    EXPECT_EQ(code, platform::kCancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
