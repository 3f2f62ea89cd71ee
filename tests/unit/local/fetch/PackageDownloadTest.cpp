// A download in parts: only what is asked for, and what reads wait for, is
// fetched; a download that cannot be had in parts says so.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>

#include "platform/Uri.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/fetch/PackageDownload.h"
#include "tests/support/HttpServer.h"
#include "tests/support/StoreTesting.h"

namespace {

using platform::FromUtf8Lossy;
using platform::Uri;
using platform::deployment::local::FetchOptions;
using platform::deployment::local::PackageDownload;
using store_testing::TempDir;
using test_support::HttpServer;

constexpr std::size_t kSize = 1 << 20;

class PackageDownloadTest : public testing::Test {
protected:
    void SetUp() override {
        m_bytes = store_testing::Noise(kSize, 5);
        std::ofstream(m_dir / "p.bin", std::ios::binary) << m_bytes;
    }

    std::unique_ptr<PackageDownload> Download(bool ranges) {
        auto response = HttpServer::Response::File(m_dir / "p.bin");
        response.ignoreRanges = !ranges;
        m_server.Route("/p.bin", response);
        FetchOptions options;
        options.connectTimeout = std::chrono::milliseconds(2000);
        options.stallTimeout = std::chrono::milliseconds(1000);
        return std::make_unique<PackageDownload>(Uri(FromUtf8Lossy(m_server.Url("/p.bin"))), m_dir / "staged", options);
    }

    std::string Staged(std::size_t offset, std::size_t size) const {
        return store_testing::ReadFile(m_dir / "staged").substr(offset, size);
    }

    TempDir m_dir;
    HttpServer m_server;
    std::string m_bytes;
};

TEST_F(PackageDownloadTest, FetchesThePartsAskedForAndTheGapsReadsWaitFor) {
    auto download = Download(true);
    const std::size_t tail = kSize - PackageDownload::kTailSize;
    ASSERT_FALSE(download->Complete());
    ASSERT_TRUE(download->FetchParts({{1000, 5000}, {200000, 300000}, {4000, 6000}}));

    ASSERT_TRUE(download->WaitFor(1000, 5000));
    ASSERT_TRUE(download->WaitFor(200000, 100000));
    EXPECT_EQ(Staged(1000, 5000), m_bytes.substr(1000, 5000));
    EXPECT_EQ(Staged(200000, 100000), m_bytes.substr(200000, 100000));
    const std::size_t asked = m_server.BytesSent("/p.bin");
    EXPECT_EQ(asked, PackageDownload::kTailSize + 5000 + 100000) << "overlapping parts are fetched once";

    // Not asked for: from there up to the bytes in place (the end), in one request.
    ASSERT_TRUE(download->WaitFor(500000, 10));
    ASSERT_TRUE(download->WaitFor(500000, tail - 500000));
    EXPECT_EQ(m_server.BytesSent("/p.bin") - asked, tail - 500000);
    EXPECT_EQ(m_server.Requests("/p.bin"), 5u) << "the end, the three parts, the gap";
    EXPECT_EQ(Staged(500000, tail - 500000), m_bytes.substr(500000, tail - 500000));

    download->Finish();
    EXPECT_EQ(m_server.BytesSent("/p.bin"), asked + tail - 500000) << "finishing fetches nothing more";
}

TEST_F(PackageDownloadTest, IsNotHadInPartsWholeOrOnceTheRestIsOnItsWay) {
    EXPECT_FALSE(Download(false)->FetchParts({{0, 10}})) << "a server without ranges sent all of it";
    auto download = Download(true);
    download->Start();
    EXPECT_FALSE(download->FetchParts({{0, 10}}));
    download->Finish();
    EXPECT_EQ(store_testing::ReadFile(m_dir / "staged"), m_bytes);
}

}  // namespace
