// Downloads a package so that it can be checked and extracted while it
// arrives: from a server that honours range requests, the ZIP's directory and
// footprint files first, then the rest on a thread of its own, or only the
// parts that the reader asks for.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Error.h"
#include "platform/Uri.h"
#include "platform/deployment/local/FileDescriptor.h"
#include "platform/deployment/local/fetch/Fetch.h"
#include "platform/deployment/local/fetch/HttpTransfer.h"
#include "platform/deployment/local/format/PackageArchive.h"

namespace platform::deployment::local {

class PackageDownload final : public ArrivingFile {
public:
    // How much of the end is asked for first: more than the last 64 KiB that
    // a ZIP reader searches for the end of the directory.
    static constexpr std::uint64_t kTailSize = 96 * 1024;

    // Creates `file` and asks for the end of the resource. A server that
    // ignores the range sends all of it, which is then in place (Complete).
    // Otherwise `file` is sparse at the resource's full size, holding the end,
    // the rest of the directory and the footprint files. Failures are those of
    // FetchToFile, and 0x80073CF5 for a server whose answers to range requests
    // do not fit together (another part, another size, no part at all).
    PackageDownload(const Uri& uri, const std::filesystem::path& file, const FetchOptions& options);
    // Stops the transfer still running and waits for it.
    ~PackageDownload() override;
    PackageDownload(const PackageDownload&) = delete;
    PackageDownload& operator=(const PackageDownload&) = delete;

    bool Complete() const;
    std::uint64_t Size() const override { return m_size; }
    // Starts fetching the bytes still missing, once; a read that needs them starts it too.
    void Start();
    bool WaitFor(std::uint64_t offset, std::uint64_t size) override;
    void Stop() override;
    // Before Start: from then on only these parts, and what reads wait for,
    // are fetched, on the transfer's thread.
    bool FetchParts(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& parts) override;
    // Waits for the whole file (or for the parts asked for) and raises the
    // transfer's failure.
    void Finish();
    // Ends the transfer early (the package was refused); raises the
    // transfer's own failure if it had failed before, which then explains the refusal.
    void Abandon();

private:
    // [first, end) of the file, in place.
    using Span = std::pair<std::uint64_t, std::uint64_t>;

    void Fetch(std::uint64_t first, std::uint64_t last);
    void FetchFootprint();
    void AddSpan(Span span);
    bool Present(std::uint64_t first, std::uint64_t end) const;  // under m_mutex
    void Rest() noexcept;
    void Parts() noexcept;
    // The first bytes from [first, end) on that are neither in place nor
    // asked for, up to the next that are. Under m_mutex.
    std::optional<Span> FirstMissing(std::uint64_t first, std::uint64_t end) const;
    // The rest is in place up to `end`.
    void Arrived(std::uint64_t end);
    // The transfer thread's end.
    void Ended(std::optional<Failure> failure);
    void Join();

    const Uri m_uri;
    std::filesystem::path m_path;
    FetchOptions m_options;
    FileDescriptor m_file;
    // The constructor's requests, then the transfer thread's.
    HttpConnection m_connection;
    std::uint64_t m_size = 0;
    std::vector<Span> m_spans;  // sorted, apart from each other; changed under m_mutex

    mutable std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::uint64_t m_restEnd = 0;    // the rest is [0, m_restEnd)
    std::uint64_t m_highWater = 0;  // how much of it is in place
    int m_waiting = 0;  // reads waiting for bytes
    bool m_started = false;
    bool m_ended = false;
    // Fetching parts: those still to fetch, and all ever asked for (sorted, apart).
    bool m_inParts = false;
    bool m_partsClosed = false;
    std::deque<Span> m_queue;
    std::vector<Span> m_asked;
    std::optional<Failure> m_failure;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

}  // namespace platform::deployment::local
