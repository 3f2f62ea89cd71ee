// Downloads over http and https with libcurl, which is loaded on the first
// such request only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Uri.h"
#include "platform/deployment/local/fetch/Fetch.h"

namespace platform::deployment::local {

// With a `range`, asks for that part of the resource; what the answer holds
// is known before its first byte reaches the sink.
struct HttpRange {
    std::uint64_t first = 0;
    // Inclusive; none asks for the last `first` bytes (a suffix range).
    std::optional<std::uint64_t> last;
    // The answer: true for just the part asked for (206), false for the whole
    // resource (a server that ignores ranges).
    bool partial = false;
    std::uint64_t bodyStart = 0;
    // The resource's size; 0 when a whole answer did not say.
    std::uint64_t total = 0;
};

// Keeps the connection of one request open for the next, so that many small
// requests (the parts of a package) do not each connect anew. One request at
// a time.
class HttpConnection {
public:
    HttpConnection();
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

private:
    friend class HttpTransfer;
    struct State;
    std::unique_ptr<State> m_state;
};

// Hands the body of the resource to `sink` as it arrives, following redirects
// that the source rules allow; more than `limit` bytes raise 0x8008020C. The
// failures are those Fetch.h lists for downloads, and 0x80073CF5 for a partial
// answer that is not the part asked for.
void HttpGet(const Uri& uri, const FetchOptions& options, std::optional<std::size_t> limit,
             const std::function<void(const char* data, std::size_t size)>& sink, HttpRange* range = nullptr,
             HttpConnection* connection = nullptr);

}  // namespace platform::deployment::local
