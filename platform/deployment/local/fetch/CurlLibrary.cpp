#include "platform/deployment/local/fetch/CurlLibrary.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"

namespace platform::deployment::local {
namespace {

template <typename Function>
void Resolve(void* library, const char* name, Function*& function) {
    void* symbol = ::dlsym(library, name);
    if (symbol == nullptr) {
        throw std::runtime_error(std::string("libcurl lacks ") + name);
    }
    function = reinterpret_cast<Function*>(symbol);
}

CurlApi LoadCurl() {
    void* library = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = ::dlerror();
        throw std::runtime_error(reason != nullptr ? reason : "libcurl.so.4 could not be loaded");
    }
    CurlApi api{};
    Resolve(library, "curl_global_init", api.global_init);
    Resolve(library, "curl_easy_init", api.easy_init);
    Resolve(library, "curl_easy_cleanup", api.easy_cleanup);
    Resolve(library, "curl_easy_reset", api.easy_reset);
    Resolve(library, "curl_easy_setopt", api.easy_setopt);
    Resolve(library, "curl_easy_perform", api.easy_perform);
    Resolve(library, "curl_easy_getinfo", api.easy_getinfo);
    Resolve(library, "curl_easy_strerror", api.easy_strerror);
    if (api.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        Throw(kOutOfMemory);
    }
    return api;
}

}  // namespace

// A function-local static whose initialiser throws is tried again next time.
const CurlApi& Curl(const Uri& uri) {
    try {
        static const CurlApi api = LoadCurl();
        return api;
    } catch (const std::runtime_error& error) {
        Throw(kDownloadFailed, L"Cannot download " + uri.RawUri() + L": " + FromUtf8Lossy(error.what()) + L".");
    }
}

}  // namespace platform::deployment::local
