#include "platform/deployment/local/fetch/PackageDownload.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <string_view>

#include "platform/deployment/local/format/ZipRecords.h"

namespace platform::deployment::local {
namespace {

// The files a package is checked by before its payload, kept at its end by packers.
constexpr std::array<std::string_view, 5> kFootprintNames = {
    "AppxManifest.xml", "AppxBlockMap.xml", "[Content_Types].xml", "AppxSignature.p7x", "AppxMetadata/CodeIntegrity.cat"};

// Reads a part of the file already in place, through a window, so that a
// large directory is not held whole.
class FileWindow {
public:
    explicit FileWindow(int fd) : m_fd(fd) {}

    // `size` bytes at `offset` (at most kWindow), or nullptr when the file cannot give them.
    const unsigned char* At(std::uint64_t offset, std::uint64_t size) {
        if (offset < m_first || offset + size > m_first + m_bytes.size()) {
            m_first = offset;
            m_bytes.resize(std::max(size, kWindow));
            std::size_t done = 0;
            while (done < m_bytes.size()) {
                const ssize_t n = ::pread(m_fd, m_bytes.data() + done, m_bytes.size() - done,
                                          static_cast<off_t>(offset + done));
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    break;
                }
                done += static_cast<std::size_t>(n);
            }
            m_bytes.resize(done);
            if (done < size) {
                return nullptr;
            }
        }
        return reinterpret_cast<const unsigned char*>(m_bytes.data()) + (offset - m_first);
    }

private:
    static constexpr std::uint64_t kWindow = 1024 * 1024;
    int m_fd;
    std::uint64_t m_first = 0;
    std::string m_bytes;
};

// Where the directory lies, from its end record (and the ZIP64 one).
struct Directory {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t entries = 0;
};

// Bytes the window cannot give: the footprint is then left to be fetched with the rest.
struct Unavailable {};

}  // namespace

// Whatever is odd about the directory is left to the archive's reader to
// report: the reads it then makes fetch the rest.
void PackageDownload::FetchFootprint() {
    FileWindow window(m_file.Get());
    const std::uint64_t tailFirst = m_spans.back().first;
    const std::uint64_t searched = std::min<std::uint64_t>(m_size - tailFirst, 65535 + kZipEndSize);
    const ZipRead read = [&window](std::uint64_t offset, void* buffer, std::size_t size) {
        const unsigned char* bytes = window.At(offset, size);
        if (bytes == nullptr) {
            throw Unavailable{};
        }
        std::copy_n(bytes, size, static_cast<unsigned char*>(buffer));
    };
    std::optional<ZipEndRecord> record;
    try {
        record = FindZipEndRecord(read, m_size, searched);
    } catch (const Unavailable&) {
        return;
    }
    if (!record) {
        return;
    }
    const char* eocd = record->bytes.data();
    const std::uint64_t recordOffset = record->offset;
    Directory directory{ZipLittle(eocd + 16, 4), ZipLittle(eocd + 12, 4), ZipLittle(eocd + 10, 2)};
    if (directory.offset == 0xFFFFFFFF || directory.size == 0xFFFFFFFF || directory.entries == 0xFFFF) {
        if (recordOffset < kZip64LocatorSize + tailFirst) {
            return;
        }
        const unsigned char* locator = window.At(recordOffset - kZip64LocatorSize, kZip64LocatorSize);
        if (locator == nullptr || ZipLittle(locator, 4) != kZip64LocatorSignature) {
            return;
        }
        const std::uint64_t zip64 = ZipLittle(locator + 8, 8);
        if (zip64 > m_size - kZip64EndSize) {
            return;
        }
        if (zip64 < tailFirst) {
            Fetch(zip64, tailFirst - 1);
        }
        const unsigned char* record64 = window.At(zip64, kZip64EndSize);
        if (record64 == nullptr || ZipLittle(record64, 4) != kZip64EndSignature) {
            return;
        }
        directory = Directory{ZipLittle(record64 + 48, 8), ZipLittle(record64 + 40, 8), ZipLittle(record64 + 32, 8)};
    }
    if (directory.offset > m_size || directory.size > m_size - directory.offset) {
        return;
    }
    if (directory.offset < m_spans.front().first) {
        Fetch(directory.offset, m_spans.front().first - 1);
    }

    std::vector<std::uint64_t> headers;
    std::vector<std::uint64_t> footprint;
    std::array<bool, kFootprintNames.size()> seen{};
    ZipDirectoryWalk walk;
    try {
        walk = WalkZipDirectory([&](std::uint64_t offset, void* buffer, std::size_t size) {
            read(directory.offset + offset, buffer, size);
        }, directory.size, directory.entries, [&](const ZipCentralRecord& entry) {
            const std::uint64_t header = entry.localOffset.value_or(0xFFFFFFFF);
            headers.push_back(header);
            // Only the first of each name: a directory that repeats one is refused anyway.
            const auto known = std::find(kFootprintNames.begin(), kFootprintNames.end(), entry.name);
            if (known != kFootprintNames.end() && !seen[known - kFootprintNames.begin()]) {
                seen[known - kFootprintNames.begin()] = true;
                footprint.push_back(header);
            }
        });
    } catch (const Unavailable&) {
        return;
    }
    if (walk.fault != ZipDirectoryFault::None) {
        return;
    }

    // Each footprint file runs from its local header to the next entry's (or the directory).
    std::sort(headers.begin(), headers.end());
    for (const std::uint64_t header : footprint) {
        const auto next = std::upper_bound(headers.begin(), headers.end(), header);
        std::uint64_t first = header;
        const std::uint64_t last = std::min(next == headers.end() ? directory.offset : *next, m_size);
        for (const Span& span : std::vector<Span>(m_spans)) {
            if (first >= last) {
                break;
            }
            if (span.second <= first) {
                continue;
            }
            if (span.first > first) {
                Fetch(first, std::min(span.first, last) - 1);
            }
            first = std::max(first, span.second);
        }
        if (first < last) {
            Fetch(first, last - 1);
        }
    }
}


}  // namespace platform::deployment::local
