// Downloads over http and https with libcurl, which is loaded on the first
// such request only.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>

#include "platform/Uri.h"
#include "platform/deployment/local/fetch/Fetch.h"

namespace platform::deployment::local {

// Hands the body of the resource to `sink` as it arrives, following redirects
// that the source rules allow; more than `limit` bytes raise 0x8008020C. The
// failures are those Fetch.h lists for downloads.
void HttpGet(const Uri& uri, const FetchOptions& options, std::optional<std::size_t> limit,
             const std::function<void(const char* data, std::size_t size)>& sink);

}  // namespace platform::deployment::local
