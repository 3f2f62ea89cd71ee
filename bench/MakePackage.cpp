// Makes the benchmarks' inputs: a large package of mixed payload, or a family of
// tiny packages, each with an AppInstaller file that names it relatively.
//   bench_make_package large <folder> <payload MiB>
//       <folder>/Large.appx, <folder>/Large.appinstaller
//   bench_make_package update <folder> <payload MiB> <percent>[,<percent>...]
//       <folder>/Base.appx, <folder>/Base.appinstaller: version 1.0.0.0 of a
//       payload like large's; for each percent P, <folder>/Update<P>.appx and
//       Update<P>.appinstaller: version 2.0.0.P, the same payload with P % of
//       its 64 KiB blocks made anew; prints the files and blocks of the
//       payload, then "<P> %: <count> blocks changed" for each percent.
//   bench_make_package family <folder> <count>
//       <folder>/Family<count>.appinstaller naming a main package and count - 1
//       resource packages of one family; prints the family name.
//   bench_make_package small <folder> <count>
//       <folder>/Small.appx, <folder>/Small.appinstaller: count files of up
//       to 2 KiB each, spread over folders of 500.
// Every package is signed with the certificate and key (PEM) that the files
// BENCH_SIGN_CERT and BENCH_SIGN_KEY hold, which bench/run makes.
#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Utf8.h"
#include "platform/deployment/local/format/Names.h"
#include "tools/packaging/AppInstallerWriter.h"
#include "tools/packaging/PackageWriter.h"

namespace {

namespace fs = std::filesystem;

// A fixed-seed generator, so every run benchmarks the same bytes.
class Random {
public:
    explicit Random(std::uint64_t seed = 0x9E3779B97F4A7C15ull) : m_state(seed) {}

    std::uint64_t Next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return m_state;
    }
    std::uint64_t Below(std::uint64_t bound) { return Next() % bound; }

private:
    std::uint64_t m_state;
};

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * kKiB;
constexpr std::uint64_t kBlockSize = 64 * kKiB;  // the block map's

// Text-like bytes: words drawn from a small vocabulary, so they deflate well.
void FillText(Random& random, std::string& buffer) {
    static constexpr std::array<std::string_view, 16> kWords = {
        "package ", "deploy ", "family ", "version ", "manifest\n", "block ", "hash ", "store ",
        "the ",     "of ",     "and ",    "to ",      "register ",  "user ",  "file ", "install\n"};
    std::size_t at = 0;
    while (at < buffer.size()) {
        const std::string_view word = kWords[random.Below(kWords.size())];
        const std::size_t n = std::min(word.size(), buffer.size() - at);
        std::copy_n(word.data(), n, buffer.data() + at);
        at += n;
    }
}

void FillRandom(Random& random, std::string& buffer) {
    std::size_t at = 0;
    while (at < buffer.size()) {
        const std::uint64_t value = random.Next();
        const std::size_t n = std::min<std::size_t>(sizeof value, buffer.size() - at);
        std::copy_n(reinterpret_cast<const char*>(&value), n, buffer.data() + at);
        at += n;
    }
}

// Mostly small files, some of a few hundred KiB, a few of several MiB: about
// 0.9 MiB on average, so 256 MiB makes some three hundred files.
std::uint64_t NextSize(Random& random) {
    const std::uint64_t kind = random.Below(100);
    if (kind < 50) {
        return 1 + random.Below(64 * kKiB);
    }
    if (kind < 85) {
        return 64 * kKiB + random.Below(960 * kKiB);
    }
    return 1 * kMiB + random.Below(7 * kMiB);
}

std::string ReadEnvironmentFile(const char* variable) {
    const char* file = std::getenv(variable);
    std::ifstream in(file != nullptr ? file : "", std::ios::binary);
    if (!in) {
        throw std::runtime_error(std::string(variable) + " must name a readable PEM file (bench/run sets it)");
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

packaging::PackageOptions Signed() {
    static const packaging::Signer signer{ReadEnvironmentFile("BENCH_SIGN_CERT"), ReadEnvironmentFile("BENCH_SIGN_KEY"), {}};
    return {packaging::HashMethod::Sha256, signer};
}

void WriteAppInstaller(const fs::path& file, const packaging::AppInstallerPackage& main,
                       const std::vector<packaging::AppInstallerPackage>& dependencies) {
    packaging::AppInstallerContent content;
    content.uri = "file://" + file.string();
    content.mainPackage = main;
    content.dependencies = dependencies;
    packaging::WriteAppInstallerFile(file, content);
}

// One file of the large payload, under the folder it was written to.
struct LargeFile {
    std::string name;
    std::uint64_t size;
    bool text;
};

// Writes the large payload under `source`: the same files and bytes on every run.
std::vector<LargeFile> WriteLargePayload(const fs::path& source, std::uint64_t payloadMiB) {
    fs::remove_all(source);
    Random random;
    std::vector<LargeFile> files;
    std::string buffer;
    std::uint64_t left = payloadMiB * kMiB;
    std::uint64_t textBytes = 0;
    std::uint64_t randomBytes = 0;
    for (int index = 0; left > 0; ++index) {
        const std::uint64_t size = std::min(NextSize(random), left);
        left -= size;
        buffer.resize(size);
        // Half the bytes compress well (about 4:1) and half not at all.
        const bool text = textBytes <= randomBytes;
        (text ? textBytes : randomBytes) += size;
        if (text) {
            FillText(random, buffer);
        } else {
            FillRandom(random, buffer);
        }
        const std::string name = "folder" + std::to_string(index % 8) + "/file" + std::to_string(index) +
                                 (text ? ".txt" : ".bin");
        fs::create_directories((source / name).parent_path());
        packaging::WriteFile(source / name, buffer);
        files.push_back(LargeFile{name, size, text});
    }
    return files;
}

std::vector<packaging::PayloadFile> PayloadOf(const fs::path& source, const std::vector<LargeFile>& files) {
    std::vector<packaging::PayloadFile> payload;
    payload.reserve(files.size());
    for (const LargeFile& file : files) {
        payload.push_back(packaging::PayloadFile{file.name, source / file.name, false});
    }
    return payload;
}

void MakeLarge(const fs::path& folder, std::uint64_t payloadMiB) {
    const fs::path source = folder / "large-payload";
    const std::vector<LargeFile> files = WriteLargePayload(source, payloadMiB);
    const packaging::Identity identity{"Oru.Bench.Large", "CN=Oru Bench", "1.0.0.0", "neutral", ""};
    packaging::WritePackage(folder / "Large.appx", identity, PayloadOf(source, files), Signed());
    WriteAppInstaller(folder / "Large.appinstaller", {identity, "Large.appx"}, {});
    fs::remove_all(source);
    std::cout << files.size() << " files\n";
}

std::string ReadWholeFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// `count` distinct numbers below `bound`, in increasing order.
std::vector<std::uint64_t> ChooseDistinct(Random& random, std::uint64_t bound, std::uint64_t count) {
    std::vector<std::uint64_t> all(bound);
    for (std::uint64_t i = 0; i < bound; ++i) {
        all[i] = i;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        std::swap(all[i], all[i + random.Below(bound - i)]);
    }
    all.resize(count);
    std::sort(all.begin(), all.end());
    return all;
}

// A base package and, for each percent, a newer version of it in which that
// share of all blocks, anywhere in the payload, holds fresh bytes of its
// file's kind; the rest are the base's blocks as they were, for an update to reuse.
void MakeUpdate(const fs::path& folder, std::uint64_t payloadMiB, const std::vector<unsigned>& percents) {
    const fs::path source = folder / "update-payload";
    const fs::path changed = folder / "update-changed";
    const std::vector<LargeFile> files = WriteLargePayload(source, payloadMiB);
    const std::string name = "Oru.Bench.Update";
    const std::string publisher = "CN=Oru Bench";
    const packaging::Identity base{name, publisher, "1.0.0.0", "neutral", ""};
    packaging::WritePackage(folder / "Base.appx", base, PayloadOf(source, files), Signed());
    WriteAppInstaller(folder / "Base.appinstaller", {base, "Base.appx"}, {});

    // The payload's blocks numbered across all files, in file order.
    std::vector<std::uint64_t> firstBlock;
    std::uint64_t blocks = 0;
    for (const LargeFile& file : files) {
        firstBlock.push_back(blocks);
        blocks += (file.size + kBlockSize - 1) / kBlockSize;
    }
    std::cout << files.size() << " files, " << blocks << " blocks\n";

    for (const unsigned percent : percents) {
        fs::remove_all(changed);
        // A seed of each percent's own, so its blocks do not hang on which other percents were asked for.
        Random random(0x9E3779B97F4A7C15ull * (percent + 2));
        const std::vector<std::uint64_t> chosen = ChooseDistinct(random, blocks, (blocks * percent + 50) / 100);
        std::vector<packaging::PayloadFile> payload = PayloadOf(source, files);
        auto next = chosen.begin();
        for (std::size_t index = 0; index < files.size() && next != chosen.end(); ++index) {
            const std::uint64_t end = firstBlock[index] + (files[index].size + kBlockSize - 1) / kBlockSize;
            if (*next >= end) {
                continue;
            }
            std::string bytes = ReadWholeFile(source / files[index].name);
            std::string block;
            for (; next != chosen.end() && *next < end; ++next) {
                const std::uint64_t offset = (*next - firstBlock[index]) * kBlockSize;
                const std::string_view old(bytes.data() + offset, std::min(kBlockSize, bytes.size() - offset));
                block.resize(old.size());
                // Redrawn until it differs, so every block counted must be fetched.
                do {
                    if (files[index].text) {
                        FillText(random, block);
                    } else {
                        FillRandom(random, block);
                    }
                } while (block == old);
                std::copy(block.begin(), block.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
            }
            const fs::path file = changed / files[index].name;
            fs::create_directories(file.parent_path());
            packaging::WriteFile(file, bytes);
            payload[index].content = file;
        }
        const std::string p = std::to_string(percent);
        const packaging::Identity update{name, publisher, "2.0.0." + p, "neutral", ""};
        packaging::WritePackage(folder / ("Update" + p + ".appx"), update, payload, Signed());
        WriteAppInstaller(folder / ("Update" + p + ".appinstaller"), {update, "Update" + p + ".appx"}, {});
        std::cout << p << " %: " << chosen.size() << " blocks changed\n";
    }
    fs::remove_all(changed);
    fs::remove_all(source);
}

// Many small files, made in memory: the generator must stay fast at hundreds
// of thousands of files.
void MakeSmall(const fs::path& folder, std::uint64_t count) {
    Random random;
    std::vector<packaging::PayloadFile> payload;
    payload.reserve(count);
    std::string buffer;
    for (std::uint64_t index = 0; index < count; ++index) {
        buffer.resize(1 + random.Below(2 * kKiB));
        FillText(random, buffer);
        payload.push_back(packaging::PayloadFile{
            "folder" + std::to_string(index / 500) + "/file" + std::to_string(index) + ".txt", buffer, false});
    }
    const packaging::Identity identity{"Oru.Bench.Small", "CN=Oru Bench", "1.0.0.0", "neutral", ""};
    packaging::WritePackage(folder / "Small.appx", identity, payload, Signed());
    WriteAppInstaller(folder / "Small.appinstaller", {identity, "Small.appx"}, {});
    std::cout << payload.size() << " files\n";
}

void MakeFamily(const fs::path& folder, int count) {
    const std::string name = "Oru.Bench.Family";
    const std::string publisher = "CN=Oru Bench";
    std::vector<packaging::AppInstallerPackage> packages;
    for (int index = 0; index < count; ++index) {
        // The main package and resource packages: one family, one version.
        std::string resourceId;
        if (index > 0) {
            resourceId = "r";
            resourceId += std::to_string(index);
        }
        const packaging::Identity identity{name, publisher, "1.0.0.0", "neutral", resourceId};
        const std::string file = "Family-" + (index == 0 ? std::string("main") : resourceId) + ".appx";
        if (!fs::exists(folder / file)) {
            packaging::WritePackage(folder / file, identity,
                                    {packaging::PayloadFile{"data.txt", "package " + std::to_string(index) + "\n", false}},
                                    Signed());
        }
        packages.push_back({identity, file});
    }
    const packaging::AppInstallerPackage main = packages.front();
    packages.erase(packages.begin());
    WriteAppInstaller(folder / ("Family" + std::to_string(count) + ".appinstaller"), main, packages);

    namespace local = platform::deployment::local;
    local::PackageIdentity identity;
    identity.name = platform::FromUtf8Lossy(name);
    identity.publisher = platform::FromUtf8Lossy(publisher);
    std::cout << platform::ToUtf8(local::FamilyName(identity)) << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::vector<std::string> args(argv + 1, argv + argc);
        if (args.size() == 3 && args[0] == "large") {
            fs::create_directories(args[1]);
            MakeLarge(fs::absolute(args[1]), std::stoull(args[2]));
            return 0;
        }
        if (args.size() == 4 && args[0] == "update") {
            std::vector<unsigned> percents;
            std::istringstream list(args[3]);
            for (std::string item; std::getline(list, item, ',');) {
                percents.push_back(static_cast<unsigned>(std::stoul(item)));
            }
            if (!percents.empty() && std::all_of(percents.begin(), percents.end(), [](unsigned p) { return p <= 100; })) {
                fs::create_directories(args[1]);
                MakeUpdate(fs::absolute(args[1]), std::stoull(args[2]), percents);
                return 0;
            }
        }
        if (args.size() == 3 && args[0] == "small") {
            fs::create_directories(args[1]);
            MakeSmall(fs::absolute(args[1]), std::stoull(args[2]));
            return 0;
        }
        if (args.size() == 3 && args[0] == "family") {
            const int count = std::stoi(args[2]);
            // A family has at least its main package; fewer falls through to the usage.
            if (count >= 1) {
                fs::create_directories(args[1]);
                MakeFamily(fs::absolute(args[1]), count);
                return 0;
            }
        }
        std::cerr << "usage: bench_make_package large <folder> <payload MiB> | update <folder> <payload MiB> "
                     "<percent>[,<percent>...] | small <folder> <count> | family <folder> <count>\n";
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "bench_make_package: " << error.what() << "\n";
        return 1;
    }
}
