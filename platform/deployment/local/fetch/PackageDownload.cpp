#include "platform/deployment/local/fetch/PackageDownload.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileError.h"
#include "platform/deployment/local/fetch/DownloadWriter.h"
#include "platform/deployment/local/fetch/HttpTransfer.h"

namespace platform::deployment::local {

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
    Ended(std::move(failure));
}

// A failure of a transfer that was stopped is no one's concern.
void PackageDownload::Ended(std::optional<Failure> failure) {
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
    Ended(std::move(failure));
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
