// Sources that must not hold a run or fill the disk, and https against a
// loopback TLS server whose authority the test alone trusts.
#include <gtest/gtest.h>
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

using platform::FromUtf8Lossy;
using platform::Uri;
using platform::deployment::local::FetchOptions;
using platform::deployment::local::FetchText;
using platform::deployment::local::FetchToFile;
using store_testing::TempDir;
using test_support::FailureOf;
using test_support::HttpServer;
using test_support::TestAuthority;
using test_support::TlsCertificate;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

Uri MakeUri(const std::string& text) { return Uri(FromUtf8Lossy(text)); }

FetchOptions QuickOptions() {
    FetchOptions options;
    options.connectTimeout = 2000ms;
    options.stallTimeout = 2000ms;
    return options;
}

// Each is refused at once, with what it is in the text.
TEST(SourceSafetyTest, OnlyARegularFileIsReadFromDisk) {
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

TEST(SourceSafetyTest, ATricklingServerIsAbandonedAfterTheStatedPeriod) {
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

TEST(SourceSafetyTest, ADownloadLeavesTheReserveFree) {
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
