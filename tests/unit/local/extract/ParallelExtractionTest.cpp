// Extraction with the blocks inflated on every core against the one-stream
// path: the same files, the same progress, the same refusals.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/deployment/local/extract/ExtractPackage.h"
#include "tests/support/BrokenPackage.h"
#include "tests/support/Raised.h"
#include "tests/support/StoreTesting.h"

namespace platform::deployment::local {
namespace {

using store_testing::Noise;
using store_testing::ReadFile;
using store_testing::TempDir;

constexpr std::size_t kBlock = 65536;
constexpr hresult kInvalidBlockMap = ToHresult(0x80080205);
constexpr hresult kBlockHashMismatch = ToHresult(0x80080207);

// Words, so that deflating finds matches, also across blocks when it may.
std::string Text(std::size_t size) {
    std::string text;
    for (std::uint32_t word = 0; text.size() < size; word = word * 1103515245u + 12345u) {
        text += "word" + std::to_string((word >> 16) % 300) + ' ';
    }
    text.resize(size);
    return text;
}

std::vector<packaging::PayloadFile> Payload() {
    return {
        {"text/Long.txt", Text(6 * kBlock - 100), false},
        {"bin/Noise.bin", Noise(3 * kBlock + 7, 5), false},
        {"Empty.txt", std::string(), false},
        {"Stored.bin", Noise(2 * kBlock + 1, 9), false, true},
        {"StoredEmpty.bin", std::string(), false, true},
        {"One.txt", Text(kBlock), false},
    };
}

struct Outcome {
    std::map<std::string, std::string> files;
    std::vector<std::uint64_t> progress;
    test_support::Raised raised;
};

class ParallelExtractionTest : public testing::Test {
protected:
    std::filesystem::path Write(const test_support::PackageFaults& faults) {
        const auto file = m_temp.Path() / "test.appx";
        test_support::WriteBrokenPackage(file, {"Oru.Par", "CN=Oru", "1.0.0.0", "neutral", ""}, Payload(), faults);
        return file;
    }

    Outcome Extract(const std::filesystem::path& package, bool sequential) {
        const auto destination = m_temp.Path() / (sequential ? "one-stream" : "every-core");
        std::filesystem::create_directory(destination);
        Outcome outcome;
        ExtractOptions options;
        options.sequential = sequential;
        options.progress = [&](std::uint64_t done, std::uint64_t) { outcome.progress.push_back(done); };
        outcome.raised = test_support::FailureOf([&] { ExtractPackage(package, destination, options); });
        for (const auto& file : Payload()) {
            const auto path = destination / file.name;
            if (std::filesystem::exists(path)) {
                outcome.files.emplace(file.name, ReadFile(path));
            }
        }
        return outcome;
    }

    TempDir m_temp;
};

class ParallelExtractsAlike : public ParallelExtractionTest, public testing::WithParamInterface<bool> {};

TEST_P(ParallelExtractsAlike, TheSameFilesAndProgress) {
    test_support::PackageFaults faults;
    faults.deflateBlocksTogether = GetParam();
    const auto package = Write(faults);
    const Outcome parallel = Extract(package, false);
    const Outcome sequential = Extract(package, true);
    ASSERT_EQ(parallel.raised.code, kOk) << testing::PrintToString(parallel.raised.text);
    ASSERT_EQ(sequential.raised.code, kOk) << testing::PrintToString(sequential.raised.text);
    std::map<std::string, std::string> expected;
    for (const auto& file : Payload()) {
        expected.emplace(file.name, std::get<std::string>(file.content));
    }
    EXPECT_EQ(parallel.files, expected);
    EXPECT_EQ(sequential.files, expected);
    // A file redone on the one-stream path does not take the progress back.
    EXPECT_EQ(parallel.progress, sequential.progress);
}

INSTANTIATE_TEST_SUITE_P(Packers, ParallelExtractsAlike, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "BlocksTogether" : "BlocksApart"; });

struct RefusalCase {
    std::string name;
    test_support::PackageFaults faults;
    hresult code;
    std::wstring fault;  // part of the error text
};

class ParallelRefusesAlike : public ParallelExtractionTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(ParallelRefusesAlike, WithTheSameCodeAndText) {
    const auto package = Write(GetParam().faults);
    const Outcome parallel = Extract(package, false);
    const Outcome sequential = Extract(package, true);
    EXPECT_EQ(sequential.raised.code, GetParam().code) << testing::PrintToString(sequential.raised.text);
    EXPECT_NE(sequential.raised.text.find(GetParam().fault), std::wstring::npos)
        << testing::PrintToString(sequential.raised.text);
    EXPECT_EQ(parallel.raised.code, sequential.raised.code);
    EXPECT_EQ(parallel.raised.text, sequential.raised.text);
}

template <typename Set>
test_support::PackageFaults With(Set set) {
    test_support::PackageFaults faults;
    set(faults);
    return faults;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ParallelRefusesAlike,
    testing::Values(
        RefusalCase{"MiddleBlock", With([](auto& f) { f.corruptBlockOf = "text/Long.txt", f.corruptBlock = 2; }),
                    kBlockHashMismatch, L"\"text/Long.txt\" whose block 3 does not match"},
        RefusalCase{"LastBlock", With([](auto& f) { f.corruptBlockOf = "text/Long.txt", f.corruptBlock = 5; }),
                    kBlockHashMismatch, L"\"text/Long.txt\" whose block 6 does not match"},
        RefusalCase{"StoredBlock", With([](auto& f) { f.corruptBlockOf = "Stored.bin", f.corruptBlock = 1; }),
                    kBlockHashMismatch, L"\"Stored.bin\" whose block 2 does not match"},
        RefusalCase{"DeflatedMiddleBlock",
                    With([](auto& f) { f.corruptDeflatedBlockOf = "text/Long.txt", f.corruptBlock = 2; }),
                    kBlockHashMismatch, L"\"text/Long.txt\" whose block 3"},
        RefusalCase{"DeflatedLastBlock",
                    With([](auto& f) { f.corruptDeflatedBlockOf = "text/Long.txt", f.corruptBlock = 5; }),
                    kBlockHashMismatch, L"\"text/Long.txt\" whose block 6"},
        RefusalCase{"FileHash", With([](auto& f) { f.wrongFileHashOf = "bin/Noise.bin"; }), kBlockHashMismatch,
                    L"\"bin/Noise.bin\" that does not match the FileHash"},
        RefusalCase{"NotInBlockMap", With([](auto& f) { f.omitFromBlockMap = "Stored.bin"; }), kInvalidBlockMap,
                    L"\"Stored.bin\" that its block map does not list"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace platform::deployment::local
