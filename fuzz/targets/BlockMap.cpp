#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/targets/BlockMapPackage.h"
#include "fuzz/targets/FuzzTargets.h"
#include "fuzz/targets/Support.h"
#include "platform/Error.h"
#include "platform/deployment/local/extract/ExtractPackage.h"
#include "platform/deployment/local/format/BlockMap.h"
#include "platform/deployment/local/format/PartNames.h"
#include "tools/packaging/PackageWriter.h"

namespace fuzz {
namespace {

namespace local = platform::deployment::local;

std::string Pattern(std::size_t size, unsigned step) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * step) % 251);
    }
    return bytes;
}

const std::vector<packaging::PayloadFile>& Payload() {
    static const std::vector<packaging::PayloadFile> payload = {
        {"readme.txt", std::string("A payload for checking block maps.\n"), false},
        {"bin/tool", Pattern(local::kBlockSize + 100, 31), true},
        {"empty.dat", std::string(), false},
        {"assets/logo.png", Pattern(300, 7), false},
    };
    return payload;
}

const packaging::Identity kIdentity{"Oru.Fuzz.BlockMap", "CN=Oru Fuzz", "1.0.0.0", "neutral", ""};

struct ZipDeleter {
    void operator()(zip_t* archive) const noexcept { zip_discard(archive); }
};

// The package without its block map, written once: adding a block map to a copy
// of it is far cheaper than compressing the payload for every input.
const std::filesystem::path& PackageWithoutBlockMap() {
    static const std::filesystem::path file = [] {
        const std::filesystem::path path = ScratchFolder() / "no-blockmap.appx";
        packaging::PackageBuilder package(path);
        package.AddPayload(packaging::PayloadFile{"AppxManifest.xml", packaging::ManifestXml(kIdentity), false});
        for (const packaging::PayloadFile& file : Payload()) {
            package.AddPayload(file);
        }
        package.AddContentTypes();
        package.Close();
        return path;
    }();
    return file;
}

void AddBlockMap(const std::filesystem::path& file, const std::string& blockMap) {
    std::filesystem::copy_file(PackageWithoutBlockMap(), file, std::filesystem::copy_options::overwrite_existing);
    int error = 0;
    std::unique_ptr<zip_t, ZipDeleter> archive(zip_open(file.c_str(), 0, &error));
    Require(archive != nullptr, "the package without a block map opens");
    zip_source_t* source = zip_source_buffer(archive.get(), blockMap.data(), blockMap.size(), 0);
    Require(source != nullptr, "a ZIP source for the block map can be made");
    if (zip_file_add(archive.get(), "AppxBlockMap.xml", source, ZIP_FL_ENC_RAW) < 0) {
        zip_source_free(source);
        Require(false, "the block map can be added to the package");
    }
    Require(zip_close(archive.get()) == 0, "the package with the block map can be written");
    static_cast<void>(archive.release());
}

}  // namespace

void WriteBlockMapPackage(const std::filesystem::path& file, const std::optional<std::string>& blockMap,
                          packaging::HashMethod method) {
    if (blockMap) {
        AddBlockMap(file, *blockMap);
        return;
    }
    packaging::WritePackage(file, kIdentity, Payload(), {.hashMethod = method});
}

namespace {

// The document read from `bytes` fed in pieces of `piece` bytes, or nothing when refused.
std::optional<local::BlockMapDocument> ReadInPieces(std::string_view bytes, std::size_t piece) {
    try {
        local::BlockMapReader reader;
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            reader.Feed(bytes.substr(at, piece));
        }
        return reader.Finish();
    } catch (const platform::PlatformError&) {
        return std::nullopt;
    }
}

bool Same(const local::BlockMapDocument& a, const local::BlockMapDocument& b) {
    return a.method == b.method &&
           std::equal(a.files.begin(), a.files.end(), b.files.begin(), b.files.end(), [](const auto& x, const auto& y) {
               return x.name == y.name && x.size == y.size && x.lfhSize == y.lfhSize &&
                      x.blockHashes == y.blockHashes && x.fileHash == y.fileHash &&
                      x.compressedSize == y.compressedSize;
           });
}

}  // namespace

void FuzzBlockMap(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = AsText(data, size);
    local::BlockMapDocument document;
    try {
        document = local::ReadBlockMap(bytes);
    } catch (const platform::PlatformError&) {
        Require(!ReadInPieces(bytes, 1 + size % 13), "a block map refused whole is refused in pieces");
        return;
    }
    const auto pieces = ReadInPieces(bytes, 1 + size % 13);
    Require(pieces && Same(*pieces, document), "a block map reads the same whole and in pieces");
    const std::size_t digestSize = local::DigestSize(document.method);
    for (const local::BlockMapFile& file : document.files) {
        Require(local::IsSafeEntryName(file.name), "an accepted block map names only safe paths");
        Require(file.blockHashes.size() == file.BlockCount() * digestSize,
                "an accepted block map has one hash of its method's size per block");
        Require(!file.fileHash || file.fileHash->Bytes().size() == digestSize,
                "an accepted FileHash has its method's size");
    }

    // The same block map checked against real data, as the package reader does.
    const std::filesystem::path package = ScratchFolder() / "blockmap.appx";
    const std::filesystem::path destination = ScratchFolder() / "blockmap";
    WriteBlockMapPackage(package, std::string(bytes));
    std::filesystem::create_directory(destination);
    try {
        static_cast<void>(local::ExtractPackage(package, destination, Unchecked()));
    } catch (const platform::PlatformError&) {
    }
    RemoveAll(destination);
    RemoveAll(package);
}

}  // namespace fuzz
