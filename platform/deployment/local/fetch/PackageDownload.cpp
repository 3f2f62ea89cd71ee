#include "platform/deployment/local/fetch/PackageDownload.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <string_view>

#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileError.h"
#include "platform/deployment/local/fetch/DownloadWriter.h"
#include "platform/deployment/local/fetch/HttpTransfer.h"
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

PackageDownload::PackageDownload(const Uri& uri, const std::filesystem::path& file, const FetchOptions& options)
    : m_uri(uri), m_path(file), m_options(options) {
    m_file = FileDescriptor(::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!m_file) {
        const int error = errno;  // read before the text is built
        ThrowFileError(error, L"Cannot create " + PathText(file));
    }
    HttpRange tail;
    tail.first = kTailSize;
    FetchOptions first = m_options;
    first.progress = [&](std::uint64_t done, std::uint64_t total) {
        if (!tail.partial && m_options.progress) {
            m_options.progress(done, total);  // the whole package, from a server without ranges
        }
    };
    DownloadWriter writer(m_file, m_path, m_uri, m_options.diskReserve);
    std::uint64_t received = 0;
    const auto sink = [&](const char* data, std::size_t size) {
        if (tail.partial && received == 0) {
            CheckFreeSpace(m_file.Get(), tail.total, m_options.diskReserve, L"the download of " + m_uri.RawUri());
            if (::ftruncate(m_file.Get(), static_cast<off_t>(tail.total)) != 0) {
                const int error = errno;
                ThrowFileError(error, L"Cannot write " + PathText(m_path));
            }
        }
        writer.Write(tail.bodyStart + received, data, size);
        received += size;
    };
    try {
        HttpGet(m_uri, first, std::nullopt, sink, &tail, &m_connection);
    } catch (const PlatformError& error) {
        // No end to ask for: the resource is empty, and no package.
        if (error.Code() != HttpStatusCode(416)) {
            throw;
        }
        m_spans.emplace_back(0, 0);
        return;
    }
    writer.Flush();
    if (!tail.partial) {
        m_size = received;
        m_spans.emplace_back(0, received);
        return;
    }
    m_size = tail.total;
    m_spans.emplace_back(tail.bodyStart, m_size);
    if (!Complete()) {
        FetchFootprint();
        m_restEnd = m_spans.back().first;
    }
}

PackageDownload::~PackageDownload() {
    Stop();
    Join();
}

bool PackageDownload::Complete() const { return m_spans.size() == 1 && m_spans.front() == Span{0, m_size}; }

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

void PackageDownload::Fetch(std::uint64_t first, std::uint64_t last) {
    HttpRange part;
    part.first = first;
    part.last = last;
    FetchOptions options = m_options;
    options.progress = nullptr;
    options.cancelled = [this, user = m_options.cancelled] { return m_stopping || (user && user()); };
    DownloadWriter writer(m_file, m_path, m_uri, m_options.diskReserve);
    std::uint64_t received = 0;
    std::uint64_t handedOn = first;
    HttpGet(m_uri, options, std::nullopt, [&](const char* data, std::size_t size) {
        if (!part.partial) {
            Throw(kDownloadFailed,
                  L"Cannot download " + m_uri.RawUri() + L": the server no longer answers requests for parts of it.");
        }
        if (part.total != m_size) {
            Throw(kDownloadFailed, L"Cannot download " + m_uri.RawUri() + L": it changed while it was downloaded.");
        }
        writer.Write(part.bodyStart + received, data, size);
        received += size;
        // A large part is read while it arrives.
        if (writer.Written() > handedOn) {
            handedOn = writer.Written();
            AddSpan({first, handedOn});
        }
    }, &part, &m_connection);
    writer.Flush();
    if (received != last + 1 - first) {
        Throw(kConnectionAborted,
              L"Cannot download " + m_uri.RawUri() + L": the connection ended before the whole response arrived.");
    }
    AddSpan({first, last + 1});
}

namespace {

// Adds [first, end) to sorted spans apart from each other, keeping them so.
void Merge(std::vector<std::pair<std::uint64_t, std::uint64_t>>& spans,
           std::pair<std::uint64_t, std::uint64_t> span) {
    spans.push_back(span);
    std::sort(spans.begin(), spans.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
    for (const auto& next : spans) {
        if (!merged.empty() && next.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, next.second);
        } else {
            merged.push_back(next);
        }
    }
    spans = std::move(merged);
}

}  // namespace

void PackageDownload::AddSpan(Span span) {
    {
        const std::lock_guard lock(m_mutex);
        Merge(m_spans, span);
    }
    m_arrived.notify_all();
}

bool PackageDownload::Present(std::uint64_t first, std::uint64_t end) const {
    if (first >= end) {
        return true;
    }
    std::uint64_t position = std::max(first, m_highWater);
    for (const Span& span : m_spans) {
        if (span.first <= position && position < span.second) {
            position = span.second;
        }
    }
    return position >= end;
}

void PackageDownload::Start() {
    const std::lock_guard lock(m_mutex);
    if (!m_started && !Complete()) {
        m_started = true;
        m_thread = std::thread([this] { Rest(); });
    }
}

bool PackageDownload::WaitFor(std::uint64_t offset, std::uint64_t size) {
    std::unique_lock lock(m_mutex);
    while (!Present(offset, offset + size)) {
        if (m_ended || m_stopping) {
            return false;
        }
        if (!m_started) {
            lock.unlock();
            Start();
            lock.lock();
            continue;
        }
        // Up to the next bytes here or asked for, so that a read in order asks once per gap;
        // ahead of the parts still queued, since a reader waits for it.
        if (const std::optional<Span> missing = m_inParts ? FirstMissing(offset, offset + size) : std::nullopt) {
            m_queue.push_front(*missing);
            Merge(m_asked, *missing);
            m_arrived.notify_all();
        }
        ++m_waiting;
        m_arrived.wait(lock);
        --m_waiting;
    }
    return true;
}

// The bytes before the directory and footprint files, in one request; a
// server that now sends the whole package sends the same bytes again.
void PackageDownload::Rest() noexcept {
    std::optional<Failure> failure;
    try {
        FetchOptions options = m_options;
        options.progress = nullptr;  // called on the caller's thread only
        options.cancelled = [this, user = m_options.cancelled] { return m_stopping || (user && user()); };
        HttpRange rest;
        rest.last = m_restEnd - 1;
        DownloadWriter writer(m_file, m_path, m_uri, m_options.diskReserve);
        std::uint64_t received = 0;
        std::uint64_t handedOn = 0;
        HttpGet(m_uri, options, std::nullopt, [&](const char* data, std::size_t size) {
            if (m_stopping) {
                Throw(kCancelled);
            }
            if (rest.total != m_size) {
                Throw(kDownloadFailed, L"Cannot download " + m_uri.RawUri() + L": it changed while it was downloaded.");
            }
            writer.Write(received, data, size);
            received += size;
            if (writer.Written() != handedOn) {
                handedOn = writer.Written();
                Arrived(handedOn);
            }
        }, &rest, &m_connection);
        Arrived(writer.Flush());
        if (received < m_restEnd) {
            Throw(kConnectionAborted,
                  L"Cannot download " + m_uri.RawUri() + L": the connection ended before the whole response arrived.");
        }
    } catch (...) {
        failure = CurrentFailure();
    }
    {
        const std::lock_guard lock(m_mutex);
        m_ended = true;
        if (failure && !m_stopping) {
            m_failure = std::move(failure);
        }
    }
    m_arrived.notify_all();
}

void PackageDownload::Arrived(std::uint64_t end) {
    bool waited = false;
    {
        const std::lock_guard lock(m_mutex);
        m_highWater = std::min(end, m_restEnd);
        waited = m_waiting > 0;
    }
    if (waited) {
        m_arrived.notify_all();
    }
}

void PackageDownload::Join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool PackageDownload::FetchParts(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& parts) {
    {
        const std::lock_guard lock(m_mutex);
        if ((m_started && !m_inParts) || Complete() || m_partsClosed) {
            return false;
        }
        for (const Span& part : parts) {
            for (std::uint64_t at = part.first; at < std::min(part.second, m_size);) {
                const std::optional<Span> missing = FirstMissing(at, std::min(part.second, m_size));
                if (!missing) {
                    break;
                }
                const Span piece{missing->first, std::min(missing->second, part.second)};
                m_queue.push_back(piece);
                Merge(m_asked, piece);
                at = piece.second;
            }
        }
        if (!m_started) {
            m_started = true;
            m_inParts = true;
            m_thread = std::thread([this] { Parts(); });
        }
    }
    m_arrived.notify_all();
    return true;
}

std::optional<PackageDownload::Span> PackageDownload::FirstMissing(std::uint64_t first, std::uint64_t end) const {
    std::uint64_t position = first;
    for (std::uint64_t before = end; before != position;) {
        before = position;
        for (const std::vector<Span>* spans : {&m_spans, &m_asked}) {
            for (const Span& span : *spans) {
                if (span.first <= position && position < span.second) {
                    position = span.second;
                }
            }
        }
    }
    if (position >= end) {
        return std::nullopt;
    }
    std::uint64_t gapEnd = m_size;
    for (const std::vector<Span>* spans : {&m_spans, &m_asked}) {
        for (const Span& span : *spans) {
            if (span.first > position) {
                gapEnd = std::min(gapEnd, span.first);
            }
        }
    }
    return Span{position, gapEnd};
}

// Fetches the parts in the order asked for, one request each, until Finish
// has asked for no more or the transfer is stopped.
void PackageDownload::Parts() noexcept {
    std::optional<Failure> failure;
    try {
        for (;;) {
            Span part;
            {
                std::unique_lock lock(m_mutex);
                m_arrived.wait(lock, [this] { return m_stopping || m_partsClosed || !m_queue.empty(); });
                if (m_stopping || m_queue.empty()) {
                    break;
                }
                part = m_queue.front();
                m_queue.pop_front();
                if (Present(part.first, part.second)) {
                    continue;
                }
            }
            Fetch(part.first, part.second - 1);
        }
    } catch (...) {
        failure = CurrentFailure();
    }
    {
        const std::lock_guard lock(m_mutex);
        m_ended = true;
        if (failure && !m_stopping) {
            m_failure = std::move(failure);
        }
    }
    m_arrived.notify_all();
}

void PackageDownload::Finish() {
    Start();
    {
        const std::lock_guard lock(m_mutex);
        m_partsClosed = true;
    }
    m_arrived.notify_all();
    Join();
    if (m_failure) {
        Throw(*m_failure);
    }
}

void PackageDownload::Stop() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_arrived.notify_all();
}

void PackageDownload::Abandon() {
    Stop();
    Join();
    if (m_failure) {
        Throw(*m_failure);
    }
}

}  // namespace platform::deployment::local
