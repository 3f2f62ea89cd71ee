// libcurl, loaded at run time when a download first needs it.
#pragma once

#include <curl/curl.h>

#include "platform/Uri.h"

namespace platform::deployment::local {

// libcurl and its thirty-odd dependencies are loaded on the first http(s)
// request only: linked in, loading them was most of the tool's start-up time,
// paid by every run that never leaves the disk. Its global state is set up
// once and never torn down (worker threads may still be transferring while
// the process exits).
struct CurlApi {
    CURLcode (*global_init)(long flags);
    CURL* (*easy_init)();
    void (*easy_cleanup)(CURL* handle);
    void (*easy_reset)(CURL* handle);
    CURLcode (*easy_setopt)(CURL* handle, CURLoption option, ...);
    CURLcode (*easy_perform)(CURL* handle);
    CURLcode (*easy_getinfo)(CURL* handle, CURLINFO info, ...);
    const char* (*easy_strerror)(CURLcode code);
};

// Raises a failure to load libcurl as the download's failure (0x80073CF5,
// naming the URI), every time it is asked for.
const CurlApi& Curl(const Uri& uri);

struct CurlDeleter {
    void (*cleanup)(CURL* handle);
    void operator()(CURL* handle) const noexcept { cleanup(handle); }
};

}  // namespace platform::deployment::local
