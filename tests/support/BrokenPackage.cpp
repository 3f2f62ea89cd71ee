#include "tests/support/BrokenPackage.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace test_support {
namespace {

using packaging::Content;
using packaging::PayloadFile;

[[noreturn]] void Fail(const std::string& text) { throw std::runtime_error(text); }

// Gives the second entry of a name its real name: libzip will not write two
// entries of one name, so it was written under a placeholder of equal length.
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
    std::string stored = *bytes;
    stored[0] = static_cast<char>(stored[0] ^ 0x01);
    return stored;
}

}  // namespace

void WriteBrokenPackage(const std::filesystem::path& packageFile, const packaging::Identity& identity,
                        const std::vector<PayloadFile>& payload, const PackageFaults& faults) {
    packaging::PackageBuilder package(packageFile);
    const auto add = [&](const PayloadFile& file) {
        const std::string entryName = packaging::EncodePartName(file.name);
        const std::uint32_t mode = S_IFREG | (file.executable ? 0755 : 0644);
        const packaging::BlockHashes hashes = packaging::HashBlocks(file.content);
        package.AddEntry(entryName, Stored(file, faults), mode);
        package.AddPartName(file.name);
        if (faults.omitFromBlockMap != file.name) {
            package.ListInBlockMap(file.name, entryName.size(), hashes,
                                   hashes.size + (faults.wrongSizeOf == file.name ? 1 : 0));
        }
        if (faults.duplicateOf == file.name) {
            const auto* bytes = std::get_if<std::string>(&file.content);
            package.AddEntry(std::string(entryName.size(), '\x01'), bytes != nullptr ? *bytes : "", mode);
        }
    };

    if (!faults.omitManifest) {
        add(PayloadFile{"AppxManifest.xml", faults.manifestOverride.value_or(packaging::ManifestXml(identity)), false});
    }
    for (const PayloadFile& file : payload) {
        add(file);
    }
    for (const RawEntry& entry : faults.extraEntries) {
        package.AddEntry(entry.name, entry.bytes, S_IFREG | 0644);
    }
    if (faults.symlinkEntry) {
        package.AddEntry(faults.symlinkEntry->name, faults.symlinkEntry->bytes, S_IFLNK | 0777);
    }
    if (faults.blockMapOnlyFile) {
        package.ListInBlockMap(*faults.blockMapOnlyFile, faults.blockMapOnlyFile->size(), {}, 0);
    }
    package.AddEntry("[Content_Types].xml", package.ContentTypesXml(), S_IFREG | 0644);
    if (!faults.omitBlockMap) {
        package.AddEntry("AppxBlockMap.xml", faults.blockMapOverride.value_or(package.BlockMapXml()), S_IFREG | 0644);
    }
    package.Close();

    if (faults.duplicateOf) {
        const std::string entryName = packaging::EncodePartName(*faults.duplicateOf);
        RenameInPlace(packageFile, std::string(entryName.size(), '\x01'), entryName);
    }
}

}  // namespace test_support
