#include "tests/support/BrokenPackage.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "tools/packaging/ZipWriter.h"

namespace test_support {
namespace {

using packaging::Content;
using packaging::PayloadFile;

[[noreturn]] void Fail(const std::string& text) { throw std::runtime_error(text); }

// Gives the second entry of a name its real name: it was written under a
// placeholder of equal length, which no real name can be mistaken for.
void RenameInPlace(const std::filesystem::path& file, const std::string& placeholder, const std::string& name) {
    std::string bytes;
    {
        std::ifstream in(file, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::size_t replaced = 0;
    for (auto pos = bytes.find(placeholder); pos != std::string::npos; pos = bytes.find(placeholder, pos + 1)) {
        bytes.replace(pos, placeholder.size(), name);
        ++replaced;
    }
    // Once in the local header and once in the central directory.
    if (replaced != 2) {
        Fail("cannot write a duplicate entry for " + name);
    }
    packaging::WriteFile(file, bytes);
}

// Makes an entry claim another compression method, in its local header and in
// the central directory, each found by the name that follows it.
void PatchMethod(const std::filesystem::path& file, const std::string& name, std::uint16_t method) {
    std::string bytes;
    {
        std::ifstream in(file, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::size_t patched = 0;
    for (auto pos = bytes.find(name); pos != std::string::npos; pos = bytes.find(name, pos + 1)) {
        // The method lies 22 bytes before the name in a local header, 36 in a central one.
        for (const std::size_t back : {22u, 36u}) {
            const std::size_t header = back == 22u ? 30u : 46u;
            if (pos >= header && bytes.compare(pos - header, 4, back == 22u ? "PK\x03\x04" : "PK\x01\x02") == 0) {
                bytes[pos - back] = static_cast<char>(method & 0xFF);
                bytes[pos - back + 1] = static_cast<char>(method >> 8);
                ++patched;
            }
        }
    }
    if (patched != 2) {
        Fail("cannot change the compression method of " + name);
    }
    packaging::WriteFile(file, bytes);
}

// Flips a bit of an entry's CRC-32 in the central directory, whose header
// (46 bytes, the CRC-32 at 16) comes right before the name.
void PatchCentralCrc(const std::filesystem::path& file, const std::string& name) {
    std::string bytes;
    {
        std::ifstream in(file, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    for (auto pos = bytes.find(name); pos != std::string::npos; pos = bytes.find(name, pos + 1)) {
        if (pos >= 46 && bytes.compare(pos - 46, 4, "PK\x01\x02") == 0) {
            bytes[pos - 46 + 16] = static_cast<char>(bytes[pos - 46 + 16] ^ 0x01);
            packaging::WriteFile(file, bytes);
            return;
        }
    }
    Fail("cannot find the central header of " + name);
}

// The content as stored: the first byte flipped after hashing when asked.
Content Stored(const PayloadFile& file, const PackageFaults& faults) {
    if (faults.corruptBlockOf != file.name) {
        return file.content;
    }
    const auto* bytes = std::get_if<std::string>(&file.content);
    if (bytes == nullptr) {
        Fail("only files given as bytes can be corrupted: " + file.name);
    }
    if (bytes->empty()) {
        Fail("cannot corrupt the empty file " + file.name);
    }
    const std::uint64_t at = faults.corruptBlock * packaging::kZipBlockSize;
    if (at >= bytes->size()) {
        Fail("cannot corrupt a block beyond the end of " + file.name);
    }
    std::string stored = *bytes;
    stored[at] = static_cast<char>(stored[at] ^ 0x01);
    return stored;
}

// Flips bytes amid a block of an entry's compressed data, found after the
// entry's name in its local header (which the writer gives no extra field).
void CorruptCompressedBlock(const std::filesystem::path& file, const std::string& name,
                            const std::vector<std::uint64_t>& compressedSizes, std::uint64_t block) {
    if (block >= compressedSizes.size()) {
        Fail("cannot corrupt a compressed block of " + name);
    }
    std::string bytes;
    {
        std::ifstream in(file, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const auto pos = bytes.find(name);
    if (pos == std::string::npos || pos < 30 || bytes.compare(pos - 30, 4, "PK\x03\x04") != 0) {
        Fail("cannot find the local header of " + name);
    }
    std::uint64_t at = pos + name.size() + compressedSizes[block] / 2;
    for (std::uint64_t earlier = 0; earlier < block; ++earlier) {
        at += compressedSizes[earlier];
    }
    for (std::uint64_t i = at; i < at + 4; ++i) {
        bytes[i] = static_cast<char>(~bytes[i]);
    }
    packaging::WriteFile(file, bytes);
}

}  // namespace

void WriteBrokenPackage(const std::filesystem::path& packageFile, const packaging::Identity& identity,
                        const std::vector<PayloadFile>& payload, const PackageFaults& faults) {
    // A FileHash can only be wrong where the block map gives FileHashes.
    const packaging::PackageOptions options{packaging::HashMethod::Sha256, faults.signer,
                                            faults.wrongFileHashOf.has_value()};
    packaging::PackageBuilder package(packageFile, options);
    if (faults.deflateBlocksTogether) {
        package.DeflateBlocksTogether();
    }
    if (faults.diskNumbersEscaped) {
        package.KeepDiskNumbersEscaped();
    }
    std::vector<std::uint64_t> corruptedSizes;
    const auto add = [&](const PayloadFile& file) {
        const std::string entryName = packaging::EncodePartName(file.name);
        const std::uint32_t mode = S_IFREG | (file.executable ? 0755 : 0644);
        const packaging::Compression compression = packaging::CompressionOf(file);
        packaging::BlockHashes hashes = packaging::HashBlocks(file.content);
        hashes.compressedSizes = package.AddEntry(entryName, Stored(file, faults), mode, compression).compressedSizes;
        if (faults.corruptDeflatedBlockOf == file.name) {
            corruptedSizes = hashes.compressedSizes;
        }
        if (faults.wrongCompressedSizeOf == file.name && !hashes.compressedSizes.empty()) {
            ++hashes.compressedSizes.front();
        }
        if (faults.wrongFileHashOf == file.name) {
            hashes.file = packaging::HashBlocks(std::string("other data")).file;
        }
        package.AddPartName(file.name);
        if (faults.omitFromBlockMap != file.name) {
            package.ListInBlockMap(file.name, entryName.size() + (faults.wrongLfhSizeOf == file.name ? 1 : 0), hashes,
                                   hashes.size + (faults.wrongSizeOf == file.name ? 1 : 0));
        }
        if (faults.duplicateOf == file.name) {
            const auto* bytes = std::get_if<std::string>(&file.content);
            package.AddEntry(std::string(entryName.size(), '\x01'), bytes != nullptr ? *bytes : "", mode, compression);
        }
    };

    for (const PayloadFile& file : payload) {
        add(file);
    }
    for (const RawEntry& entry : faults.extraEntries) {
        package.AddEntry(entry.name, entry.bytes, S_IFREG | 0644);
    }
    for (const RawEntry& entry : faults.typedEntries) {
        package.AddEntry(entry.name, entry.bytes, S_IFREG | 0644);
        package.AddPartName(entry.name);
    }
    if (faults.symlinkEntry) {
        package.AddEntry(faults.symlinkEntry->name, faults.symlinkEntry->bytes, S_IFLNK | 0777);
    }
    // The manifest after the payload, as the packer writes it.
    if (!faults.omitManifest) {
        add(PayloadFile{"AppxManifest.xml", faults.manifestOverride.value_or(packaging::ManifestXml(identity)), false});
    }
    if (faults.blockMapOnlyFile) {
        package.ListInBlockMap(*faults.blockMapOnlyFile, faults.blockMapOnlyFile->size(), {}, 0);
    }
    if (!faults.omitBlockMap) {
        if (faults.blockMapOverride) {
            package.AddEntry("AppxBlockMap.xml", *faults.blockMapOverride, S_IFREG | 0644);
        } else {
            package.AddBlockMap();
        }
    }
    if (!faults.omitContentTypes) {
        package.AddContentTypes();
    }
    package.Close();

    if (faults.corruptDeflatedBlockOf) {
        CorruptCompressedBlock(packageFile, packaging::EncodePartName(*faults.corruptDeflatedBlockOf), corruptedSizes,
                               faults.corruptBlock);
    }
    if (faults.wrongCrcOf) {
        PatchCentralCrc(packageFile, packaging::EncodePartName(*faults.wrongCrcOf));
    }
    if (faults.bzip2Of) {
        PatchMethod(packageFile, packaging::EncodePartName(*faults.bzip2Of), 12);
    }
    if (faults.duplicateOf) {
        const std::string entryName = packaging::EncodePartName(*faults.duplicateOf);
        RenameInPlace(packageFile, std::string(entryName.size(), '\x01'), entryName);
    }
}

}  // namespace test_support
