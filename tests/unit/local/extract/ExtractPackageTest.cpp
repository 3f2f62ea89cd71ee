// Extraction: entry path checks, block map checks and the files written, with
// the blocks inflated on every core and as one stream per file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/deployment/local/extract/ExtractPackage.h"
#include "tests/support/BrokenPackage.h"
#include "tests/support/Raised.h"
#include "tests/support/StoreTesting.h"
#include "tools/packaging/PackageWriter.h"

namespace platform::deployment::local {
namespace {

using store_testing::Noise;

// These tests are about extraction; signatures are checked in their own tests.
ExtractOptions Unchecked() {
    ExtractOptions options;
    options.signature = SignatureCheck::NotChecked();
    return options;
}
using store_testing::ReadFile;
using store_testing::TempDir;
using test_support::CaptureFailure;
using test_support::TextOf;

constexpr hresult kCannotOpenPackage = ToHresult(0x80073CF0);
constexpr hresult kMissingFootprintFile = ToHresult(0x80080203);
constexpr hresult kInvalidManifest = ToHresult(0x80080204);
constexpr hresult kInvalidBlockMap = ToHresult(0x80080205);
constexpr hresult kCorruptPackage = ToHresult(0x80080206);
constexpr hresult kBlockHashMismatch = ToHresult(0x80080207);
constexpr hresult kZipDescriptorMismatch = ToHresult(0x80511007);

packaging::Identity TestIdentity() {
    return packaging::Identity{"Oru.Quillmark.Vantor.App.Release", "CN=Oru Quillmark", "1.0.0.0", "neutral", ""};
}

// Every file under `root`, relative name to contents.
std::map<std::string, std::string> FilesUnder(const std::filesystem::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        if (item.is_regular_file()) {
            files.emplace(item.path().lexically_relative(root).generic_string(), ReadFile(item.path()));
        }
    }
    return files;
}

const std::string kBigFile = Noise(3 * 65536 + 123, 7);

// Words, so that deflating finds matches, also across blocks where it may.
std::string Text(std::size_t size) {
    std::string text;
    for (std::uint32_t word = 0; text.size() < size; word = word * 1103515245u + 12345u) {
        text += "word" + std::to_string((word >> 16) % 300) + ' ';
    }
    text.resize(size);
    return text;
}

std::vector<packaging::PayloadFile> TestPayload() {
    return {
        {"README.txt", std::string("read me\n"), false},
        {"Assets/Deep/Big.bin", kBigFile, false},
        {"Empty.txt", std::string(), false},
        {"My File [1].txt", std::string("spaces and brackets"), false},
        {"bin/hello.sh", std::string("#!/bin/sh\necho hello\n"), true},
        {"Long.txt", Text(4 * 65536 - 100), false},
        {"Stored.bin", Noise(2 * 65536 + 1, 9), false, true},
        {"StoredEmpty.bin", std::string(), false, true},
    };
}

class ExtractPackageTest : public testing::Test {
protected:
    std::filesystem::path Write(const test_support::PackageFaults& faults = {},
                                std::vector<packaging::PayloadFile> payload = TestPayload()) {
        const auto file = m_temp.Path() / "test.appx";
        test_support::WriteBrokenPackage(file, TestIdentity(), payload, faults);
        return file;
    }

    std::filesystem::path Destination(const std::string& name = "out") {
        const auto destination = m_temp.Path() / name;
        std::filesystem::create_directory(destination);
        return destination;
    }

    TempDir m_temp;
};

TEST_F(ExtractPackageTest, ExtractsEveryPayloadFileByteExact) {
    const auto package = Write();
    const auto destination = Destination();
    std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
    ExtractOptions options = Unchecked();
    options.progress = [&](std::uint64_t done, std::uint64_t total) { progress.emplace_back(done, total); };

    const PackageIdentity identity = ExtractPackage(package, destination, options);

    EXPECT_EQ(FullName(identity), L"Oru.Quillmark.Vantor.App.Release_1.0.0.0_neutral__ratp2p7zs941j");
    auto files = FilesUnder(destination);
    ASSERT_EQ(files.count("AppxManifest.xml"), 1u);
    EXPECT_EQ(files["AppxManifest.xml"], packaging::ManifestXml(TestIdentity()));
    files.erase("AppxManifest.xml");
    // The block map is kept beside the payload, as the platform keeps it.
    ASSERT_EQ(files.count("AppxBlockMap.xml"), 1u);
    files.erase("AppxBlockMap.xml");
    std::map<std::string, std::string> expected;
    for (const auto& file : TestPayload()) {
        expected.emplace(file.name, std::get<std::string>(file.content));
    }
    EXPECT_EQ(files, expected);

    struct stat script {};
    ASSERT_EQ(stat((destination / "bin/hello.sh").c_str(), &script), 0);
    EXPECT_NE(script.st_mode & S_IXUSR, 0u);
    struct stat readme {};
    ASSERT_EQ(stat((destination / "README.txt").c_str(), &readme), 0);
    EXPECT_EQ(readme.st_mode & S_IXUSR, 0u);

    std::uint64_t total = 0;
    for (const auto& [name, bytes] : FilesUnder(destination)) {
        total += name == "AppxBlockMap.xml" ? 0 : bytes.size();
    }
    ASSERT_FALSE(progress.empty());
    for (std::size_t i = 0; i < progress.size(); ++i) {
        EXPECT_EQ(progress[i].second, total);
        if (i > 0) {
            EXPECT_GE(progress[i].first, progress[i - 1].first);
        }
    }
    EXPECT_EQ(progress.back().first, total);
}

class ExtractsAlikeBothWays : public ExtractPackageTest, public testing::WithParamInterface<bool> {};

// Every core against one stream per file, for a packer that deflates every
// block on its own and for one whose blocks depend on each other.
TEST_P(ExtractsAlikeBothWays, TheSameFilesAndProgress) {
    test_support::PackageFaults faults;
    faults.deflateBlocksTogether = GetParam();
    const auto package = Write(faults);
    std::map<std::string, std::map<std::string, std::string>> files;
    std::map<std::string, std::vector<std::uint64_t>> progress;
    for (const bool sequential : {false, true}) {
        const std::string way = sequential ? "one-stream" : "every-core";
        ExtractOptions options = Unchecked();
        options.sequential = sequential;
        options.progress = [&](std::uint64_t done, std::uint64_t) { progress[way].push_back(done); };
        ExtractPackage(package, Destination(way), options);
        files[way] = FilesUnder(m_temp.Path() / way);
    }
    EXPECT_EQ(files["every-core"], files["one-stream"]);
    EXPECT_EQ(files["every-core"]["Long.txt"], Text(4 * 65536 - 100));
    // A file written again one way after failing the other takes no progress back.
    EXPECT_EQ(progress["every-core"], progress["one-stream"]);
}

INSTANTIATE_TEST_SUITE_P(Packers, ExtractsAlikeBothWays, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "BlocksTogether" : "BlocksApart"; });

TEST_F(ExtractPackageTest, StreamsPayloadFromFilesOnDisk) {
    const auto source = m_temp.Path() / "big.bin";
    const std::string bytes = Noise(5 * 65536, 11);
    packaging::WriteFile(source, bytes);
    const auto package = Write({}, {{"data/big.bin", source, false}});
    const auto destination = Destination();
    ExtractPackage(package, destination, Unchecked());
    EXPECT_EQ(ReadFile(destination / "data/big.bin"), bytes);
}

TEST_F(ExtractPackageTest, PacksTheSampleSources) {
    const auto package = Write({}, packaging::PayloadFromDirectory(APPDEPLOY_SOURCE_DIR "/examples/Sample"));
    EXPECT_EQ(FamilyName(ReadPackageIdentity(package)), L"Oru.Quillmark.Vantor.App.Release_ratp2p7zs941j");
    const auto destination = Destination();
    ExtractPackage(package, destination, Unchecked());
    EXPECT_EQ(ReadFile(destination / "hello.sh"), ReadFile(APPDEPLOY_SOURCE_DIR "/examples/Sample/hello.sh"));
}

TEST_F(ExtractPackageTest, CancellationStopsBetweenBlocks) {
    const auto package = Write();
    const auto destination = Destination();
    int polls = 0;
    std::uint64_t lastDone = 0;
    std::uint64_t lastTotal = 0;
    ExtractOptions options = Unchecked();
    options.cancelled = [&] { return ++polls > 3; };
    options.progress = [&](std::uint64_t done, std::uint64_t total) { lastDone = done, lastTotal = total; };
    const auto error = CaptureFailure([&] { ExtractPackage(package, destination, options); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Code(), kCancelled);
    EXPECT_EQ(polls, 4);
    EXPECT_LT(lastDone, lastTotal);
}

TEST_F(ExtractPackageTest, RefusesDestinationThatIsNotEmpty) {
    const auto package = Write();
    const auto destination = Destination();
    std::ofstream(destination / "already-here").put('x');
    const auto error = CaptureFailure([&] { ExtractPackage(package, destination, Unchecked()); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Code(), kInvalidArgument);
}

TEST_F(ExtractPackageTest, ReadsIdentityWithoutExtracting) {
    packaging::Identity identity = TestIdentity();
    identity.architecture = "x64";
    identity.resourceId = "en-us";
    identity.version = "2.3.4.5";
    const auto file = m_temp.Path() / "id.appx";
    packaging::WritePackage(file, identity, {});
    EXPECT_EQ(ReadPackageIdentity(file),
              (PackageIdentity{L"Oru.Quillmark.Vantor.App.Release", L"CN=Oru Quillmark", Version{2, 3, 4, 5}, L"x64",
                               L"en-us"}));
}

struct BrokenPackageCase {
    std::string name;
    test_support::PackageFaults faults;
    hresult code;
    std::wstring fault;  // part of the error text
};

class ExtractBrokenPackageTest : public ExtractPackageTest, public testing::WithParamInterface<BrokenPackageCase> {};

TEST_P(ExtractBrokenPackageTest, IsRefusedWithItsCode) {
    const auto package = Write(GetParam().faults);
    const auto destination = Destination();
    const auto error = CaptureFailure([&] { ExtractPackage(package, destination, Unchecked()); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Code(), GetParam().code) << testing::PrintToString(TextOf(*error));
    const std::wstring text = TextOf(*error);
    EXPECT_NE(text.find(L"test.appx"), std::wstring::npos) << testing::PrintToString(text);
    EXPECT_NE(text.find(GetParam().fault), std::wstring::npos) << testing::PrintToString(text);
    // Nothing may land beside the destination, whatever the entry names say.
    std::vector<std::string> beside;
    for (const auto& item : std::filesystem::directory_iterator(m_temp.Path())) {
        beside.push_back(item.path().filename().string());
    }
    std::sort(beside.begin(), beside.end());
    EXPECT_EQ(beside, (std::vector<std::string>{"out", "test.appx"}));
    // The blocks inflated on every core or as one stream per file: refused alike.
    ExtractOptions oneStream = Unchecked();
    oneStream.sequential = true;
    const auto sequential = CaptureFailure([&] { ExtractPackage(package, Destination("one-stream"), oneStream); });
    ASSERT_TRUE(sequential.has_value());
    EXPECT_EQ(sequential->Code(), error->Code());
    EXPECT_EQ(TextOf(*sequential), text);
}

test_support::PackageFaults Extra(std::string name, std::string bytes = "evil") {
    test_support::PackageFaults faults;
    faults.extraEntries.push_back({std::move(name), std::move(bytes)});
    return faults;
}

template <typename Set>
test_support::PackageFaults With(Set set) {
    test_support::PackageFaults faults;
    set(faults);
    return faults;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ExtractBrokenPackageTest,
    testing::Values(
        BrokenPackageCase{"MissingManifest", With([](auto& f) { f.omitManifest = true; }), kInvalidBlockMap,
                          L"has no AppxManifest.xml"},
        BrokenPackageCase{"MissingBlockMap", With([](auto& f) { f.omitBlockMap = true; }), kMissingFootprintFile,
                          L"AppxBlockMap.xml"},
        BrokenPackageCase{"InvalidManifest", With([](auto& f) { f.manifestOverride = "<Package/>"; }),
                          kInvalidManifest, L"not a package manifest"},
        BrokenPackageCase{"InvalidBlockMap", With([](auto& f) { f.blockMapOverride = "<BlockMap"; }),
                          kInvalidBlockMap, L"XML cannot be read"},
        BrokenPackageCase{"WrongSize", With([](auto& f) { f.wrongSizeOf = "README.txt"; }), kInvalidBlockMap,
                          L"\"README.txt\" of 8 bytes"},
        BrokenPackageCase{"WrongSizeOfManifest", With([](auto& f) { f.wrongSizeOf = "AppxManifest.xml"; }),
                          kInvalidBlockMap, L"\"AppxManifest.xml\""},
        BrokenPackageCase{"WrongCompressedSize", With([](auto& f) { f.wrongCompressedSizeOf = "Assets/Deep/Big.bin"; }),
                          kInvalidBlockMap, L"compressed bytes whose blocks its block map gives as"},
        BrokenPackageCase{"FileMissingFromBlockMap", With([](auto& f) { f.omitFromBlockMap = "Empty.txt"; }),
                          kInvalidBlockMap, L"\"Empty.txt\" that its block map does not list"},
        BrokenPackageCase{"BlockMapFileMissingFromPackage",
                          With([](auto& f) { f.blockMapOnlyFile = "Ghost.txt"; }), kInvalidBlockMap,
                          L"no file \"Ghost.txt\""},
        BrokenPackageCase{"UnlistedExtraEntry", Extra("extra.txt"), kInvalidBlockMap,
                          L"\"extra.txt\" that its block map does not list"},
        BrokenPackageCase{"CorruptBlock", With([](auto& f) { f.corruptBlockOf = "Assets/Deep/Big.bin"; }),
                          kBlockHashMismatch, L"block 1"},
        BrokenPackageCase{"CorruptSmallFile", With([](auto& f) { f.corruptBlockOf = "README.txt"; }),
                          kBlockHashMismatch, L"\"README.txt\""},
        BrokenPackageCase{"CorruptMiddleBlock",
                          With([](auto& f) { f.corruptBlockOf = "Long.txt", f.corruptBlock = 1; }),
                          kBlockHashMismatch, L"\"Long.txt\" whose block 2 does not match"},
        BrokenPackageCase{"CorruptLastBlock", With([](auto& f) { f.corruptBlockOf = "Long.txt", f.corruptBlock = 3; }),
                          kBlockHashMismatch, L"\"Long.txt\" whose block 4 does not match"},
        BrokenPackageCase{"CorruptStoredBlock",
                          With([](auto& f) { f.corruptBlockOf = "Stored.bin", f.corruptBlock = 1; }),
                          kBlockHashMismatch, L"\"Stored.bin\" whose block 2 does not match"},
        BrokenPackageCase{"CorruptDeflatedMiddleBlock",
                          With([](auto& f) { f.corruptDeflatedBlockOf = "Long.txt", f.corruptBlock = 1; }),
                          kBlockHashMismatch, L"\"Long.txt\" whose block 2"},
        BrokenPackageCase{"CorruptDeflatedLastBlock",
                          With([](auto& f) { f.corruptDeflatedBlockOf = "Long.txt", f.corruptBlock = 3; }),
                          kBlockHashMismatch, L"\"Long.txt\" whose block 4"},
        BrokenPackageCase{"WrongCrc", With([](auto& f) { f.wrongCrcOf = "Long.txt"; }), kZipDescriptorMismatch,
                          L"\"Long.txt\" without a data descriptor that gives its CRC-32"},
        BrokenPackageCase{"LfhSizeOfADeflatedFile", With([](auto& f) { f.wrongLfhSizeOf = "Long.txt"; }), kCorruptPackage,
                          L"\"Long.txt\" whose local header is 38 bytes, but its block map's LfhSize is 39"},
        BrokenPackageCase{"LfhSizeOfAStoredFile", With([](auto& f) { f.wrongLfhSizeOf = "Stored.bin"; }),
                          kBlockHashMismatch, L"\"Stored.bin\" whose local header is"},
        BrokenPackageCase{"WrongFileHash", With([](auto& f) { f.wrongFileHashOf = "Assets/Deep/Big.bin"; }),
                          kBlockHashMismatch, L"\"Assets/Deep/Big.bin\" that does not match the FileHash"},
        BrokenPackageCase{"ParentPath", Extra("../evil"), kCorruptPackage, L"not a safe relative path"},
        BrokenPackageCase{"ParentInside", Extra("a/../../evil"), kCorruptPackage, L"not a safe relative path"},
        BrokenPackageCase{"AbsolutePath", Extra("/abs"), kCorruptPackage, L"not a safe relative path"},
        BrokenPackageCase{"Backslash", Extra("..\\evil"), kCorruptPackage, L"not a safe relative path"},
        BrokenPackageCase{"DriveLetter", Extra("C:/evil"), kCorruptPackage, L"not a safe relative path"},
        BrokenPackageCase{"EncodedParent", Extra("%2e%2e/evil"), kCorruptPackage, L"not a safe relative path"},
        BrokenPackageCase{"EncodedSlash", Extra("a%2F..%2F..%2Fevil"), kCorruptPackage, L"not a valid part name"},
        BrokenPackageCase{"EncodedNul", Extra("evil%00.txt"), kCorruptPackage, L"not a valid part name"},
        BrokenPackageCase{"BadEscape", Extra("evil%zz"), kCorruptPackage, L"not a valid part name"},
        BrokenPackageCase{"EmptySegment", Extra("a//b"), kCorruptPackage, L"not a safe relative path"},
        BrokenPackageCase{"Symlink", With([](auto& f) { f.symlinkEntry = test_support::RawEntry{"link", "/etc"}; }),
                          kCorruptPackage, L"symbolic link"},
        BrokenPackageCase{"DuplicateEntry", With([](auto& f) { f.duplicateOf = "README.txt"; }), kCorruptPackage,
                          L"same name"},
        BrokenPackageCase{"DuplicateByCase", Extra("readme.TXT"), kCorruptPackage, L"more than one entry"},
        BrokenPackageCase{"FileIsAlsoFolder", Extra("README.txt/inside"), kCorruptPackage,
                          L"also a folder"}),
    [](const auto& info) { return info.param.name; });

TEST_F(ExtractPackageTest, RefusesFilesThatAreNotZip) {
    for (const std::string& bytes : {std::string(), std::string("PK\x03\x04 not really"), Noise(4096, 3)}) {
        const auto file = m_temp.Path() / "not.appx";
        packaging::WriteFile(file, bytes);
        const auto error = CaptureFailure([&] { ReadPackageIdentity(file); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->Code(), ToHresult(0x8051100F));  // no end of central directory record
        EXPECT_NE(TextOf(*error).find(L"not.appx"), std::wstring::npos);
    }
    const auto error = CaptureFailure([&] { ReadPackageIdentity(m_temp.Path() / "absent.appx"); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->Code(), kCannotOpenPackage);
}

}  // namespace
}  // namespace platform::deployment::local
