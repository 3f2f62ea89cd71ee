// Fetching: local files (and what is not one), and downloads against a
// loopback server that answers, refuses, redirects, drops, stalls and trickles,
// over https with an authority that only the test trusts.
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <string>

#include "platform/Error.h"
#include "platform/Uri.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/fetch/Fetch.h"
#include "tests/support/HttpServer.h"
#include "tests/support/Raised.h"
#include "tests/support/StoreTesting.h"
#include "tests/support/TestCertificates.h"

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
using test_support::TestAuthority;
using test_support::TlsCertificate;
using namespace std::chrono_literals;

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

// Each is refused at once, with what it is in the text.
TEST(FetchTest, OnlyARegularFileIsReadFromDisk) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    fs::create_directory(dir / "folder");
    const struct {
        fs::path path;
        std::wstring kind;
    } cases[] = {{dir / "pipe", L"a named pipe"}, {dir / "folder", L"a folder"}, {"/dev/zero", L"a character device"}};
    for (const auto& source : cases) {
        const auto start = std::chrono::steady_clock::now();
        const auto [code, text] = FailureOf([&] { FetchText(MakeUri("file://" + source.path.string()), 1000); });
        EXPECT_EQ(code, platform::kInvalidArgument) << source.path;
        EXPECT_NE(text.find(source.kind), std::wstring::npos) << platform::ToUtf8(text);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << source.path;
    }
}

TEST(FetchTest, ATricklingServerIsAbandonedAfterTheStatedPeriod) {
    HttpServer server;
    auto trickle = HttpServer::Response::Text(std::string(10000, 't'));
    trickle.trickle = 50ms;  // 20 bytes a second, never silent long enough to stall
    server.Route("/slow.appx", trickle);
    FetchOptions options = QuickOptions();
    options.minimumSpeed = 200;
    options.minimumSpeedPeriod = 1000ms;
    TempDir dir;
    const auto start = std::chrono::steady_clock::now();
    const auto [code, text] = FailureOf([&] { FetchToFile(MakeUri(server.Url("/slow.appx")), dir / "p", options); });
    EXPECT_EQ(static_cast<std::uint32_t>(code), 0x80072EE2u);
    EXPECT_NE(text.find(L"slower than 200 bytes a second for 1 seconds"), std::wstring::npos) << platform::ToUtf8(text);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(FetchTest, ADownloadLeavesTheReserveFree) {
    HttpServer server;
    server.Route("/p.appx", HttpServer::Response::Text(std::string(100000, 'p')));
    FetchOptions options = QuickOptions();
    options.diskReserve = std::uint64_t{1} << 62;  // more than any disk has
    TempDir dir;
    const auto [code, text] = FailureOf([&] { FetchToFile(MakeUri(server.Url("/p.appx")), dir / "p", options); });
    EXPECT_EQ(static_cast<std::uint32_t>(code), 0x80073CF4u);
    EXPECT_EQ(fs::file_size(dir / "p"), 0u) << "refused before the first byte";
}

struct TlsCase {
    std::string name;
    // The server's certificate, from the test's authority or another one.
    TlsCertificate (*certificate)(const TestAuthority& trusted, const TestAuthority& stranger);
    bool trustTestAuthority;
    std::uint32_t code;  // 0: the body arrives
};

void PrintTo(const TlsCase& value, std::ostream* out) { *out << value.name; }

class SecureFetchTest : public testing::TestWithParam<TlsCase> {};

TEST_P(SecureFetchTest, TrustsOnlyAValidCertificateForTheHost) {
    static const TestAuthority trusted;
    static const TestAuthority stranger;
    HttpServer server(GetParam().certificate(trusted, stranger));
    server.Route("/a.appinstaller", HttpServer::Response::Text("<AppInstaller/>"));
    TempDir dir;
    FetchOptions options = QuickOptions();
    if (GetParam().trustTestAuthority) {
        std::ofstream(dir / "ca.pem") << trusted.CertificatePem();
        options.certificateAuthorities = dir / "ca.pem";
    }
    std::string body;
    const auto [code, text] =
        FailureOf([&] { body = FetchText(MakeUri(server.Url("/a.appinstaller")), 1000, options); });
    EXPECT_EQ(static_cast<std::uint32_t>(code), GetParam().code) << platform::ToUtf8(text);
    EXPECT_EQ(body, GetParam().code == 0 ? "<AppInstaller/>" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, SecureFetchTest,
    testing::Values(
        TlsCase{"Good", [](const TestAuthority& t, const TestAuthority&) { return t.Issue("127.0.0.1"); }, true, 0},
        TlsCase{"UntrustedAuthority", [](const TestAuthority&, const TestAuthority& s) { return s.Issue("127.0.0.1"); },
                true, 0x80072F0D},
        TlsCase{"OnlyTheSystemsAuthorities",
                [](const TestAuthority& t, const TestAuthority&) { return t.Issue("127.0.0.1"); }, false, 0x80072F0D},
        TlsCase{"AnotherHost", [](const TestAuthority& t, const TestAuthority&) { return t.Issue("other.example"); },
                true, 0x80072F06},
        TlsCase{"Expired",
                [](const TestAuthority& t, const TestAuthority&) { return t.Issue("127.0.0.1", -48h, -24h); }, true,
                0x80072F05},
        TlsCase{"NotYetValid",
                [](const TestAuthority& t, const TestAuthority&) { return t.Issue("127.0.0.1", 24h, 48h); }, true,
                0x80072F05}),
    [](const testing::TestParamInfo<TlsCase>& info) { return info.param.name; });

}  // namespace
