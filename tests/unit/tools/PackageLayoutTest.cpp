// The writer's packages and bundles record by record, as the platform's packer
// lays them out: local headers of version 4.5 without sizes or extra fields,
// ZIP64 data descriptors, central records that defer every size and offset to
// a ZIP64 extra, ZIP64 end records, the packer's entry order, block map and
// content types, and deflated blocks that stand alone before an empty final block.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <zlib.h>

#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/StoreTesting.h"
#include "tests/support/TestSigning.h"
#include "tools/packaging/BundleWriter.h"

namespace {

namespace fs = std::filesystem;

std::uint64_t Le(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) {
        value = (value << 8) | static_cast<unsigned char>(bytes.at(at + i));
    }
    return value;
}

std::string Le(std::uint64_t value, std::size_t width) {
    std::string bytes;
    for (std::size_t i = 0; i < width; ++i) {
        bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return bytes;
}

struct Entry {
    std::string name, central, extra, local, data, descriptor;  // records without names and extras
};

// Read the way the ZIP64 records say, so that a wrong record misplaces what follows.
std::vector<Entry> Parse(const std::string& bytes) {
    std::vector<Entry> entries;
    const std::string zip64End = bytes.substr(Le(bytes, bytes.size() - 42 + 8, 8), 56);
    for (std::size_t at = Le(zip64End, 48, 8); bytes.compare(at, 4, "PK\x01\x02") == 0;) {
        Entry entry;
        entry.name = bytes.substr(at + 46, Le(bytes, at + 28, 2));
        entry.central = bytes.substr(at, 46);
        entry.extra = bytes.substr(at + 46 + entry.name.size(), Le(bytes, at + 30, 2));
        const std::uint64_t local = entry.extra.size() == 28 ? Le(entry.extra, 20, 8) : 0;
        const std::uint64_t size = entry.extra.size() == 28 ? Le(entry.extra, 12, 8) : 0;
        entry.local = bytes.substr(local, 30);
        const std::uint64_t data = local + 30 + Le(entry.local, 26, 2) + Le(entry.local, 28, 2);
        entry.data = bytes.substr(data, size);
        entry.descriptor = bytes.substr(data + size, 24);
        at += 46 + entry.name.size() + entry.extra.size() + Le(bytes, at + 32, 2);
        entries.push_back(std::move(entry));
    }
    return entries;
}

const Entry& Find(const std::vector<Entry>& entries, const std::string& name) {
    const auto found = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.name == name; });
    if (found == entries.end()) {
        throw std::runtime_error("no entry " + name);
    }
    return *found;
}

// Raw deflate data inflated on its own, all of it; `ended` says whether a final block ended it.
std::string Inflate(std::string_view compressed, bool* ended = nullptr) {
    z_stream stream{};
    inflateInit2(&stream, -MAX_WBITS);
    std::string out(1 << 20, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&stream, Z_SYNC_FLUSH);
    EXPECT_EQ(stream.avail_in, 0u) << "all of the data inflates";
    if (ended != nullptr) {
        *ended = status == Z_STREAM_END;
    }
    out.resize(out.size() - stream.avail_out);
    inflateEnd(&stream);
    return out;
}

std::string Sha256Base64(std::string_view data) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr);
    std::string text(4 * ((length + 2) / 3) + 1, '\0');
    text.resize(static_cast<std::size_t>(
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), digest.data(), static_cast<int>(length))));
    return text;
}

constexpr const char* kPublisher = "CN=Oru Sample";
const packaging::Identity kIdentity{"Oru.Layout", kPublisher, "1.0.0.0", "x64", ""};
const std::string kText = [] {
    std::string text;
    for (std::size_t i = 0; text.size() < 3 * 65536 + 1000; ++i) {
        text += "line " + std::to_string(i * 7919 % 10007) + " of a text that deflate shrinks\n";
    }
    return text;
}();
const std::string kZeros(70000, '\0');

const std::vector<packaging::PayloadFile> kPayload{{"Assets/Logo.PNG", store_testing::Noise(3000, 1), false},
                                                   {"a+b c.txt", std::string("abc"), false},
                                                   {"app.exe", kText, false},
                                                   {"bin/tool", std::string("#!/bin/sh\n"), true},
                                                   {"data/zeros.bin", kZeros, false},
                                                   {"empty.txt", std::string(), false},
                                                   {"x.Xml", std::string("<x/>"), false}};

struct LayoutCase {
    std::string name;
    bool bundle, signed_, fileHashes;
    std::vector<std::string> entries;  // in order
    std::string contentTypes;          // before the block map's Override
};

class PackageLayoutTest : public testing::TestWithParam<LayoutCase> {};

TEST_P(PackageLayoutTest, RecordsAreThePackersRecords) {
    const LayoutCase& row = GetParam();
    const store_testing::TempDir dir;
    packaging::PackageOptions options{packaging::HashMethod::Sha256, std::nullopt, row.fileHashes};
    if (row.signed_) {
        options.signer = test_support::SigningAuthority::Shared().SignerFor(kPublisher);
    }
    fs::path file = dir / "p.appx";
    packaging::WritePackage(file, kIdentity, kPayload, options);
    if (row.bundle) {
        packaging::WritePackage(dir / "App_arm64.msix", {"Oru.Layout", kPublisher, "1.0.0.0", "arm64", ""}, {});
        file = dir / "b.appxbundle";
        packaging::WriteBundle(file, kIdentity,
                               {{dir / "p.appx", kIdentity, true, {}}, {dir / "App_arm64.msix", kIdentity, true, {}}},
                               options);
    }
    const std::string bytes = store_testing::ReadFile(file);
    const std::vector<Entry> entries = Parse(bytes);
    std::vector<std::string> names;
    for (const Entry& entry : entries) {
        SCOPED_TRACE(entry.name);
        names.push_back(entry.name);
        EXPECT_EQ(entry.local.substr(0, 8), std::string("PK\x03\x04\x2D\x00\x08\x00", 8))
            << "version 4.5, data descriptor";
        EXPECT_EQ(entry.local.substr(14, 12) + entry.local.substr(28, 2), std::string(14, '\0'))
            << "no sizes, no extra";
        const bool keepsMode = entry.name == "bin/tool";
        EXPECT_EQ(Le(entry.central, 4, 2), keepsMode ? 0x032Du : 0x002Du) << "made by MS-DOS 4.5, or Unix for a mode";
        EXPECT_EQ(entry.central.substr(6, 4), std::string("\x2D\x00\x08\x00", 4));
        EXPECT_EQ(entry.central.substr(20, 8) + entry.central.substr(42, 4), std::string(12, '\xFF'));
        EXPECT_EQ(entry.central.substr(32, 6), std::string(6, '\0'))
            << "no comment, disk number or internal attributes";
        EXPECT_EQ(Le(entry.central, 38, 4), keepsMode ? (S_IFREG | 0755u) << 16 : 0u);
        ASSERT_EQ(entry.extra.substr(0, 4), std::string("\x01\x00\x18\x00", 4));
        EXPECT_EQ(entry.descriptor,
                  "PK\x07\x08" + entry.central.substr(16, 4) + entry.extra.substr(12, 8) + entry.extra.substr(4, 8));
    }
    EXPECT_EQ(names, row.entries);
    const std::uint64_t count = entries.size();
    const std::uint64_t zip64End = bytes.size() - 98;
    const std::uint64_t directory = Le(bytes, zip64End + 48, 8);
    EXPECT_EQ(bytes.substr(zip64End), "PK\x06\x06" + Le(44, 8) + Le(45, 2) + Le(45, 2) + Le(0, 8) + Le(count, 8) +
                                          Le(count, 8) + Le(zip64End - directory, 8) + Le(directory, 8) + "PK\x06\x07" +
                                          Le(0, 4) + Le(zip64End, 8) + Le(1, 4) + "PK\x05\x06" +
                                          // A signer's disk numbers are 0, as the signature's readers take them.
                                          std::string(4, row.signed_ ? '\0' : '\xFF') + std::string(12, '\xFF') +
                                          Le(0, 2));

    bool ended = false;
    EXPECT_EQ(
        Inflate(Find(entries, "[Content_Types].xml").data, &ended),
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Types "
        "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">" +
            row.contentTypes +
            "<Override PartName=\"/AppxBlockMap.xml\" ContentType=\"application/vnd.ms-appx.blockmap+xml\" />" +
            (row.signed_
                 ? "<Override PartName=\"/AppxSignature.p7x\" ContentType=\"application/vnd.ms-appx.signature\" />"
                 : "") +
            "</Types>");
    EXPECT_TRUE(ended) << "one finished stream";
    const std::string blockMap = Inflate(Find(entries, "AppxBlockMap.xml").data);
    EXPECT_TRUE(
        blockMap.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n<BlockMap "
                             "xmlns=\"http://schemas.microsoft.com/appx/2010/blockmap\" "))
        << blockMap;
    // Only a FileHash for each file of several blocks (app.exe, data/zeros.bin), and only when asked for.
    for (const std::string& content : {kText, kZeros}) {
        EXPECT_EQ(blockMap.find("<b4:FileHash Hash=\"" + Sha256Base64(content) + "\"/></File>") != std::string::npos,
                  row.fileHashes && !row.bundle);
    }
    EXPECT_EQ(
        blockMap.find("xmlns:b4=\"http://schemas.microsoft.com/appx/2021/blockmap\" IgnorableNamespaces=\"b4\"") !=
            std::string::npos,
        row.fileHashes);
    if (row.bundle) {
        EXPECT_EQ(blockMap.find("<File "), blockMap.find("<File Name=\"AppxMetadata\\AppxBundleManifest.xml\""))
            << blockMap;
        EXPECT_EQ(blockMap.find("<File "), blockMap.rfind("<File ")) << "the bundle manifest alone";
        EXPECT_EQ(Le(Find(entries, "p.appx").central, 10, 2), 0u) << "packages stored";
    }
}

const std::string kPackageTypes =
    "<Default Extension=\"PNG\" ContentType=\"image/png\" /><Default Extension=\"txt\" ContentType=\"text/plain\" />"
    "<Default Extension=\"exe\" ContentType=\"application/x-msdownload\" />"
    "<Override PartName=\"/bin/tool\" ContentType=\"application/octet-stream\" />"
    "<Default Extension=\"bin\" ContentType=\"application/octet-stream\" /><Default Extension=\"Xml\" "
    "ContentType=\"text/xml\" />"
    "<Override PartName=\"/AppxManifest.xml\" ContentType=\"application/vnd.ms-appx.manifest+xml\" />";
const std::vector<std::string> kPackageEntries{"Assets/Logo.PNG",  "a%2Bb%20c.txt",      "app.exe", "bin/tool",
                                               "data/zeros.bin",   "empty.txt",          "x.Xml",   "AppxManifest.xml",
                                               "AppxBlockMap.xml", "[Content_Types].xml"};
const std::vector<std::string> kBundleEntries{"p.appx", "App_arm64.msix", "AppxMetadata/AppxBundleManifest.xml",
                                              "AppxBlockMap.xml", "[Content_Types].xml"};
const std::string kBundleTypes =
    "<Default Extension=\"appx\" ContentType=\"application/vnd.ms-appx\" />"
    "<Default Extension=\"msix\" ContentType=\"application/vnd.ms-appx\" />"
    "<Default Extension=\"xml\" ContentType=\"application/vnd.ms-appx.bundlemanifest+xml\" />";

std::vector<std::string> Signed(std::vector<std::string> entries) {
    entries.push_back("AppxSignature.p7x");
    return entries;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, PackageLayoutTest,
    testing::Values(LayoutCase{"Package", false, false, false, kPackageEntries, kPackageTypes},
                    LayoutCase{"PackageWithFileHashes", false, false, true, kPackageEntries, kPackageTypes},
                    LayoutCase{"SignedPackage", false, true, false, Signed(kPackageEntries), kPackageTypes},
                    LayoutCase{"Bundle", true, false, false, kBundleEntries, kBundleTypes},
                    LayoutCase{"SignedBundle", true, true, false, Signed(kBundleEntries), kBundleTypes}),
    [](const testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

// Every deflated block inflates alone to its hash; an empty final block that no
// Size covers ends the entry.
TEST(BlockLayoutTest, EveryBlockInflatesAloneToItsHash) {
    const store_testing::TempDir dir;
    packaging::WritePackage(dir / "p.appx", kIdentity, kPayload);
    const std::vector<Entry> entries = Parse(store_testing::ReadFile(dir / "p.appx"));
    const std::string blockMap = Inflate(Find(entries, "AppxBlockMap.xml").data);
    EXPECT_NE(blockMap.find("<File Name=\"empty.txt\" Size=\"0\" LfhSize=\"39\"/>"), std::string::npos);
    EXPECT_EQ(Find(entries, "empty.txt").data, std::string("\x03\x00", 2));
    // As the packer deflates it: its deflater can match at a block's first byte.
    EXPECT_NE(blockMap.find("\" Size=\"83\"/><Block Hash=\"" + Sha256Base64(kZeros.substr(65536)) + "\" Size=\"25\"/>"),
              std::string::npos);
    for (const auto& [name, listed, content] :
         {std::tuple{"app.exe", "app.exe", kText}, {"data/zeros.bin", "data\\zeros.bin", kZeros}}) {
        SCOPED_TRACE(name);
        std::string_view rest = Find(entries, name).data;
        std::size_t block = 0;
        const auto file = blockMap.find(std::string("<File Name=\"") + listed + "\"");
        for (auto at = blockMap.find("<Block ", file); at < blockMap.find("</File>", file);
             at = blockMap.find("<Block ", at + 1)) {
            const auto sizeAt = blockMap.find("Size=\"", at) + 6;
            const std::size_t size = std::stoul(blockMap.substr(sizeAt, blockMap.find('"', sizeAt) - sizeAt));
            // A Size too large runs into the next block, one too small falls short of this one.
            const std::string plain = Inflate(rest.substr(0, size));
            EXPECT_TRUE(plain == content.substr(block * 65536, 65536)) << "block " << block;
            const std::string hash = "<Block Hash=\"" + Sha256Base64(plain) + "\"";
            EXPECT_EQ(blockMap.compare(at, hash.size(), hash), 0) << "block " << block;
            rest.remove_prefix(size);
            ++block;
        }
        EXPECT_EQ(block, (content.size() + 65535) / 65536);
        EXPECT_EQ(rest, std::string_view("\x03\x00", 2));
    }
}

// The packer stores already compressed kinds of file, whatever the case of their
// extension, and percent-encodes every byte of an entry name but letters,
// digits, "-._~" and slashes.
TEST(EntryNameTest, KindsStoredAndNamesEncodedAsThePackerDoes) {
    const std::vector<std::tuple<std::string, std::string, bool>> table{
        {"a.jpg", "a.jpg", true},
        {"a.JPEG", "a.JPEG", true},
        {"a.Cab", "a.Cab", true},
        {"a.mov", "a.mov", true},
        {"a.mpg", "a.mpg", true},
        {"a.m4a", "a.m4a", true},
        {"a.tar", "a.tar", true},
        {"a.appx", "a.appx", true},
        {"a.xlsm", "a.xlsm", true},
        {"a.xap", "a.xap", true},
        {"a.msix", "a.msix", false},
        {"a.mp4", "a.mp4", false},
        {"a.svg", "a.svg", false},
        {"jpg", "jpg", false},
        {"a.jpg.txt", "a.jpg.txt", false},
        {"d.png/f", "d.png/f", false},
        {"Dir-1/a_b.c~Z9", "Dir-1/a_b.c~Z9", false},
        {"!$&'()*+,;=@", "%21%24%26%27%28%29%2A%2B%2C%3B%3D%40", false},
        {"[1]{2}#%^ ", "%5B1%5D%7B2%7D%23%25%5E%20", false},
        {"\xC3\x9Cn\xC3\xAF.gif", "%C3%9Cn%C3%AF.gif", true}};
    std::vector<packaging::PayloadFile> payload;
    for (const auto& [name, encoded, stored] : table) {
        payload.push_back({name, kText.substr(0, 1000), false});
    }
    const store_testing::TempDir dir;
    packaging::WritePackage(dir / "p.appx", kIdentity, payload);
    const std::vector<Entry> entries = Parse(store_testing::ReadFile(dir / "p.appx"));
    for (const auto& [name, encoded, stored] : table) {
        SCOPED_TRACE(name);
        EXPECT_EQ(packaging::EncodePartName(name), encoded);
        EXPECT_EQ(Le(Find(entries, encoded).central, 10, 2), stored ? 0u : 8u);
    }
}

}  // namespace
