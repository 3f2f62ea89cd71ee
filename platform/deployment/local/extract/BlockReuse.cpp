#include "platform/deployment/local/extract/BlockReuse.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>
#include <unordered_map>

#include "platform/Error.h"
#include "platform/deployment/local/format/BlockMap.h"
#include "platform/deployment/local/format/PartNames.h"
#include "platform/deployment/local/format/ZipRecords.h"

namespace platform::deployment::local {
namespace {

namespace fs = std::filesystem;

// Asked for with each local header, for its extra field; a longer one is fetched when read.
constexpr std::uint64_t kExtraAllowance = 64;
// Parts this close together are asked for as one: a request costs more than the bytes between.
constexpr std::uint64_t kMergeGap = 64 * 1024;

std::optional<BlockMapDocument> ReadInstalledBlockMap(const fs::path& folder) {
    std::ifstream in(folder / kBlockMapName, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    BlockMapReader reader;
    std::string buffer(256 * 1024, '\0');
    std::uint64_t total = 0;
    try {
        while (in) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            const auto got = static_cast<std::size_t>(in.gcount());
            total += got;
            if (total > kBlockMapLimit) {
                return std::nullopt;
            }
            reader.Feed(std::string_view(buffer.data(), got));
        }
        if (in.bad()) {
            return std::nullopt;
        }
        return reader.Finish();
    } catch (const PlatformError&) {
        return std::nullopt;
    }
}

// A name from the installed block map, read only below the installed folder.
bool StaysInside(std::string_view name) {
    if (name.empty() || name.front() == '/') {
        return false;
    }
    for (std::size_t start = 0; start <= name.size();) {
        const std::size_t slash = std::min(name.find('/', start), name.size());
        const std::string_view part = name.substr(start, slash - start);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        start = slash + 1;
    }
    return true;
}

struct BlockKey {
    std::string_view digest;
    std::uint64_t size;
    bool operator==(const BlockKey&) const = default;
};

struct BlockKeyHash {
    std::size_t operator()(const BlockKey& key) const noexcept {
        std::size_t value = 0;
        std::memcpy(&value, key.digest.data(), std::min(sizeof value, key.digest.size()));
        return value ^ key.size;
    }
};

struct InstalledBlock {
    std::size_t file;  // in the installed block map
    std::uint64_t block;
};

}  // namespace

std::optional<BlockReuse> BlockReuse::Plan(const PackageArchive& package, const PackageBytes& bytes,
                                           std::span<const PayloadFile> payload, HashMethod method,
                                           const fs::path& installed, ArrivingFile* arriving) {
    const std::optional<BlockMapDocument> old = ReadInstalledBlockMap(installed);
    if (!old || old->method != method) {
        return std::nullopt;
    }
    const std::size_t digestSize = DigestSize(method);
    std::unordered_map<BlockKey, InstalledBlock, BlockKeyHash> blocks;
    for (std::size_t index = 0; index < old->files.size(); ++index) {
        const BlockMapFile& file = old->files[index];
        if (!StaysInside(file.name) || file.blockHashes.size() != file.BlockCount() * digestSize) {
            continue;
        }
        for (std::uint64_t block = 0; block < file.BlockCount(); ++block) {
            const auto digest = file.BlockHash(block, method);
            const BlockKey key{{reinterpret_cast<const char*>(digest.data()), digest.size()},
                               file.BlockSize(block)};
            blocks.try_emplace(key, InstalledBlock{index, block});
        }
    }

    BlockReuse plan;
    std::vector<std::uint32_t> installedIndex(old->files.size(), BlockSource::kPackage);
    std::vector<bool> fetched(payload.size());
    for (std::size_t index = 0; index < payload.size(); ++index) {
        const PayloadFile& file = payload[index];
        plan.m_firstUnit.push_back(plan.m_sources.size());
        const std::uint64_t units = ParallelBlockPipeline::UnitCount(file);
        for (std::uint64_t unit = 0; unit < units; ++unit) {
            BlockSource source;
            if (file.entry->size != 0) {
                const auto digest = file.blocks->BlockHash(unit, method);
                const std::uint64_t size = file.blocks->BlockSize(unit);
                const auto found = blocks.find(BlockKey{{reinterpret_cast<const char*>(digest.data()), digest.size()}, size});
                if (found != blocks.end()) {
                    std::uint32_t& at = installedIndex[found->second.file];
                    if (at == BlockSource::kPackage) {
                        at = static_cast<std::uint32_t>(plan.m_installedFiles.size());
                        plan.m_installedFiles.push_back(installed / std::string(old->files[found->second.file].name));
                    }
                    source = BlockSource{at, found->second.block * kBlockSize, static_cast<std::uint32_t>(size)};
                    plan.m_reusedBytes += size;
                } else {
                    fetched[index] = true;
                }
            }
            plan.m_sources.push_back(source);
        }
        if (fetched[index] && !ParallelBlockPipeline::CanCutApart(file)) {
            return std::nullopt;
        }
    }
    if (plan.m_reusedBytes == 0) {
        return std::nullopt;
    }
    plan.m_readsPackage = fetched;

    // Where each file's data starts, from its local header: the directory
    // says where the header is, not how long it is. Names are kept only of
    // the entries whose headers are read.
    std::vector<bool> named(package.Entries().size());
    for (std::size_t index = 0; index < payload.size(); ++index) {
        named.at(payload[index].entry->index) = fetched[index];
    }
    std::optional<SignedZipLayout> layout;
    std::vector<std::pair<std::uint64_t, std::string>> headers(package.Entries().size());
    try {
        layout = ReadSignedZipLayout(bytes);
        if (!layout) {
            return std::nullopt;
        }
        const ZipDirectoryWalk walk = WalkZipDirectory(
            [&](std::uint64_t offset, void* buffer, std::size_t size) {
                bytes.Read(layout->centralDirectoryOffset + offset, buffer, size);
            },
            layout->centralDirectorySize, headers.size(), [&, next = std::size_t{0}](const ZipCentralRecord& record) mutable {
                headers[next] = {record.localOffset.value_or(layout->centralDirectoryOffset),
                                 named[next] ? std::string(record.name) : std::string()};
                ++next;
            });
        if (walk.fault != ZipDirectoryFault::None) {
            return std::nullopt;
        }
    } catch (const PlatformError&) {
        return std::nullopt;
    }
    const std::uint64_t dataEnd = layout->centralDirectoryOffset;
    std::vector<std::uint64_t> starts;
    for (const auto& header : headers) {
        starts.push_back(header.first);
    }
    std::sort(starts.begin(), starts.end());
    for (const PayloadFile& file : payload) {
        const std::uint64_t start = headers.at(file.entry->index).first;
        const auto next = std::upper_bound(starts.begin(), starts.end(), start);
        plan.m_entryParts.emplace_back(start, std::max(start, next == starts.end() ? dataEnd : std::min(*next, dataEnd)));
    }
    std::vector<Part> headerParts;
    for (std::size_t index = 0; index < payload.size(); ++index) {
        if (fetched[index]) {
            const auto& [offset, name] = headers.at(payload[index].entry->index);
            headerParts.emplace_back(offset, std::min(dataEnd, offset + kZipLocalSize + name.size() + kExtraAllowance));
        }
    }
    if (arriving != nullptr && !arriving->FetchParts(headerParts)) {
        return std::nullopt;
    }

    try {
        for (std::size_t index = 0; index < payload.size(); ++index) {
            if (!fetched[index]) {
                continue;
            }
            const PayloadFile& file = payload[index];
            const auto& [offset, name] = headers.at(file.entry->index);
            char header[kZipLocalSize];
            bytes.Read(offset, header, sizeof header);
            const std::uint64_t nameSize = ZipLittle(header + 26, 2);
            std::string localName(nameSize, '\0');
            bytes.Read(offset + kZipLocalSize, localName.data(), localName.size());
            if (ZipLittle(header, 4) != kZipLocalSignature || localName != name) {
                return std::nullopt;
            }
            const std::uint64_t dataStart = offset + kZipLocalSize + nameSize + ZipLittle(header + 28, 2);
            if (dataStart > dataEnd || file.entry->compressedSize > dataEnd - dataStart) {
                return std::nullopt;
            }
            std::uint64_t at = dataStart;
            const std::uint64_t units = file.blocks->BlockCount();
            for (std::uint64_t unit = 0; unit < units; ++unit) {
                // The last block is read with the final block that ends the stream.
                const std::uint64_t raw = file.entry->deflated ? file.blocks->blockSizes[unit] +
                                                                     (unit + 1 == units ? FinalBlockBytes(file) : 0)
                                                               : file.blocks->BlockSize(unit);
                BlockSource& source = plan.m_sources[plan.m_firstUnit[index] + unit];
                if (source.installedFile == BlockSource::kPackage) {
                    source.offset = at;
                    source.size = static_cast<std::uint32_t>(raw);
                    plan.m_parts.emplace_back(at, at + raw);
                }
                at += raw;
            }
            if (at != dataStart + file.entry->compressedSize) {
                return std::nullopt;
            }
        }
    } catch (const PlatformError&) {
        return std::nullopt;
    }

    std::sort(plan.m_parts.begin(), plan.m_parts.end());
    std::vector<Part> merged;
    for (const Part& part : plan.m_parts) {
        if (!merged.empty() && part.first <= merged.back().second + kMergeGap) {
            merged.back().second = std::max(merged.back().second, part.second);
        } else {
            merged.push_back(part);
        }
    }
    plan.m_parts = std::move(merged);
    return plan;
}

}  // namespace platform::deployment::local
