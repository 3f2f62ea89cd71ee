#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/Fetch.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cwctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/deployment/local/Encoding.h"
#include "platform/deployment/local/FileDescriptor.h"
#include "platform/deployment/local/FileError.h"

namespace platform::deployment::local {
namespace {



bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](wchar_t x, wchar_t y) { return std::towlower(x) == std::towlower(y); });
}

// Reads up to size bytes; 0 at the end.
std::size_t ReadSome(const FileDescriptor& file, char* buffer, std::size_t size, const Uri& uri) {
    for (;;) {
        const ssize_t n = ::read(file.Get(), buffer, size);
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno != EINTR) {
            const int error = errno;  // read before the text is built
            ThrowFileError(error, L"Cannot read " + uri.RawUri());
        }
    }
}

void Write(const FileDescriptor& file, const char* data, std::size_t size, const std::filesystem::path& path) {
    if (const int error = WriteAll(file, data, size); error != 0) {
        ThrowFileError(error, L"Cannot write " + PathText(path));
    }
}

[[noreturn]] void ThrowTooLarge(const Uri& uri, std::size_t limit) {
    constexpr std::size_t kMiB = 1024 * 1024;
    const std::wstring size = limit % kMiB == 0 ? std::to_wstring(limit / kMiB) + L" MiB"
                                                : std::to_wstring(limit) + L" bytes";
    Throw(kInvalidAppInstallerFile, L"The file at " + uri.RawUri() + L" is larger than " + size + L".");
}

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

// Raises a failure to load libcurl as the download's failure, every time it is
// asked for (a function-local static whose initialiser throws is retried).
const CurlApi& Curl(const Uri& uri) {
    try {
        static const CurlApi api = LoadCurl();
        return api;
    } catch (const std::runtime_error& error) {
        Throw(kDownloadFailed, L"Cannot download " + uri.RawUri() + L": " + FromUtf8Lossy(error.what()) + L".");
    }
}

struct CurlDeleter {
    void (*cleanup)(CURL* handle);
    void operator()(CURL* handle) const noexcept { cleanup(handle); }
};

// One easy handle, used for each hop of a request. Failures raised inside
// callbacks are kept and the transfer aborted, then raised once it returns.
class HttpTransfer {
public:
    using Sink = std::function<void(const char* data, std::size_t size)>;

    HttpTransfer(const Uri& uri, const FetchOptions& options, std::optional<std::size_t> limit)
        : m_curl(Curl(uri)), m_options(options), m_limit(limit), m_handle(m_curl.easy_init(), {m_curl.easy_cleanup}) {
        if (!m_handle) {
            Throw(kOutOfMemory);
        }
    }

    // Follows redirects itself, so that every hop meets the same rules as the
    // first URI; only the final response's body reaches the sink.
    void Get(const Uri& uri, const Sink& sink) {
        m_sink = &sink;
        m_uri = &uri;
        std::optional<Uri> current(uri);
        for (int redirects = 0;; ++redirects) {
            auto next = Perform(*current, uri);
            if (!next) {
                return;
            }
            if (redirects == m_options.maxRedirects) {
                Throw(HttpStatusCode(m_status), L"Cannot download " + uri.RawUri() + L": more than " +
                                                    std::to_wstring(m_options.maxRedirects) + L" redirects.");
            }
            current.emplace(std::move(*next));
        }
    }

private:
    // One request; the redirect's target when the server answers with one.
    std::optional<Uri> Perform(const Uri& uri, const Uri& original) {
        CURL* handle = m_handle.get();
        m_curl.easy_reset(handle);
        m_failure = nullptr;
        m_status = 0;
        m_received = 0;
        const std::string url = ToUtf8(uri.RawUri());
        m_lastBytes = 0;
        m_lastActivity = std::chrono::steady_clock::now();
        char errorBuffer[CURL_ERROR_SIZE] = {};
        m_curl.easy_setopt(handle, CURLOPT_URL, url.c_str());
        m_curl.easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
        m_curl.easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
        m_curl.easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        m_curl.easy_setopt(handle, CURLOPT_NOPROXY, "localhost,127.0.0.0/8,::1");
        m_curl.easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_options.connectTimeout.count()));
        m_curl.easy_setopt(handle, CURLOPT_USERAGENT, "appdeploy");
        m_curl.easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
        m_curl.easy_setopt(handle, CURLOPT_WRITEFUNCTION, &HttpTransfer::OnWrite);
        m_curl.easy_setopt(handle, CURLOPT_WRITEDATA, this);
        m_curl.easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
        m_curl.easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &HttpTransfer::OnProgress);
        m_curl.easy_setopt(handle, CURLOPT_XFERINFODATA, this);

        const CURLcode result = m_curl.easy_perform(handle);
        if (m_failure) {
            std::rethrow_exception(m_failure);
        }
        const std::wstring prefix = L"Cannot download " + original.RawUri() + L": ";
        if (result != CURLE_OK) {
            ThrowTransferError(result, prefix, errorBuffer);
        }
        m_curl.easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &m_status);
        if (m_status >= 200 && m_status < 300) {
            return std::nullopt;
        }
        if (m_status == 301 || m_status == 302 || m_status == 303 || m_status == 307 || m_status == 308) {
            char* location = nullptr;
            m_curl.easy_getinfo(handle, CURLINFO_REDIRECT_URL, &location);
            if (location != nullptr) {
                return RedirectTarget(uri, FromUtf8Lossy(location), prefix);
            }
        }
        Throw(HttpStatusCode(m_status),
              prefix + L"the server answered with HTTP status " + std::to_wstring(m_status) + L".");
    }

    Uri RedirectTarget(const Uri& from, const std::wstring& location, const std::wstring& prefix) const {
        const std::wstring refused = prefix + L"the redirect to " + location + L" is not allowed.";
        std::optional<Uri> target;
        try {
            target.emplace(location);
        } catch (const PlatformError&) {
            Throw(HttpStatusCode(m_status), refused);
        }
        const std::wstring& scheme = target->SchemeName();
        const bool allowed = scheme == L"https" ||
                             (scheme == L"http" && from.SchemeName() == L"http" && IsLoopbackHost(target->Host()));
        if (!allowed) {
            Throw(HttpStatusCode(m_status), refused);
        }
        return std::move(*target);
    }

    [[noreturn]] void ThrowTransferError(CURLcode result, const std::wstring& prefix, const char* detail) {
        switch (result) {
            case CURLE_COULDNT_RESOLVE_HOST:
            case CURLE_COULDNT_RESOLVE_PROXY:
                Throw(kNameNotResolved, prefix + L"the server name could not be resolved.");
            case CURLE_COULDNT_CONNECT:
                Throw(kCannotConnect, prefix + L"could not connect to the server.");
            case CURLE_OPERATION_TIMEDOUT:
                Throw(kTimedOut, prefix + L"the server stopped responding.");
            case CURLE_RECV_ERROR:
            case CURLE_SEND_ERROR:
                Throw(kConnectionReset, prefix + L"the connection was reset.");
            case CURLE_PARTIAL_FILE:
            case CURLE_GOT_NOTHING:
                Throw(kConnectionAborted, prefix + L"the connection ended before the whole response arrived.");
            case CURLE_OUT_OF_MEMORY:
                Throw(kOutOfMemory);
            case CURLE_SSL_CONNECT_ERROR:
            case CURLE_PEER_FAILED_VERIFICATION:
            case CURLE_SSL_CERTPROBLEM:
            case CURLE_SSL_CIPHER:
            case CURLE_SSL_CACERT_BADFILE:
            case CURLE_SSL_ISSUER_ERROR:
                Throw(kSecureFailure, prefix + L"the secure connection failed: " + FromUtf8Lossy(detail) + L".");
            default:
                Throw(kDownloadFailed, prefix + FromUtf8Lossy(*detail != '\0' ? detail : m_curl.easy_strerror(result)) +
                                           L".");
        }
    }

    bool Successful() {
        if (m_status == 0) {
            m_curl.easy_getinfo(m_handle.get(), CURLINFO_RESPONSE_CODE, &m_status);
        }
        return m_status >= 200 && m_status < 300;
    }

    static std::size_t OnWrite(char* data, std::size_t size, std::size_t count, void* self) noexcept {
        auto& transfer = *static_cast<HttpTransfer*>(self);
        const std::size_t bytes = size * count;
        try {
            if (!transfer.Successful()) {
                return bytes;  // the body of a redirect or an error status
            }
            transfer.m_received += bytes;
            if (transfer.m_limit && transfer.m_received > *transfer.m_limit) {
                ThrowTooLarge(*transfer.m_uri, *transfer.m_limit);
            }
            (*transfer.m_sink)(data, bytes);
            return bytes;
        } catch (...) {
            transfer.m_failure = std::current_exception();
            return CURL_WRITEFUNC_ERROR;
        }
    }

    // Called several times a second while the transfer lasts, data or not.
    static int OnProgress(void* self, curl_off_t total, curl_off_t done, curl_off_t, curl_off_t sent) noexcept {
        auto& transfer = *static_cast<HttpTransfer*>(self);
        try {
            if (transfer.m_options.cancelled && transfer.m_options.cancelled()) {
                Throw(kCancelled);
            }
            const auto now = std::chrono::steady_clock::now();
            if (done + sent != transfer.m_lastBytes) {
                transfer.m_lastBytes = done + sent;
                transfer.m_lastActivity = now;
            } else if (now - transfer.m_lastActivity > transfer.m_options.stallTimeout) {
                Throw(kTimedOut, L"Cannot download " + transfer.m_uri->RawUri() + L": the server stopped responding.");
            }
            if (transfer.Successful()) {
                if (transfer.m_limit && total > 0 && static_cast<std::uint64_t>(total) > *transfer.m_limit) {
                    ThrowTooLarge(*transfer.m_uri, *transfer.m_limit);
                }
                if (transfer.m_options.progress && done > 0) {
                    transfer.m_options.progress(static_cast<std::uint64_t>(done),
                                                static_cast<std::uint64_t>(std::max<curl_off_t>(total, 0)));
                }
            }
            return 0;
        } catch (...) {
            transfer.m_failure = std::current_exception();
            return 1;
        }
    }

    const CurlApi& m_curl;
    const FetchOptions& m_options;
    std::optional<std::size_t> m_limit;
    std::unique_ptr<CURL, CurlDeleter> m_handle;
    const Sink* m_sink = nullptr;
    const Uri* m_uri = nullptr;
    std::exception_ptr m_failure;
    long m_status = 0;
    std::size_t m_received = 0;
    curl_off_t m_lastBytes = 0;
    std::chrono::steady_clock::time_point m_lastActivity;
};

}  // namespace

FileDescriptor OpenForReading(const Uri& uri) {
    const std::filesystem::path path = LocalPath(uri);
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0) {
        const int error = errno;  // read before the text is built
        ThrowFileError(error, L"Cannot open " + uri.RawUri());
    }
    return file;
}

bool IsLoopbackHost(std::wstring_view host) {
    if (host.size() >= 2 && host.front() == L'[' && host.back() == L']') {
        host = host.substr(1, host.size() - 2);
    }
    if (EqualsNoCase(host, L"localhost")) {
        return true;
    }
    const std::string text = ToUtf8(host);
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6)) {
            return true;
        }
        return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
    }
    return false;
}

void CheckSource(const Uri& uri) {
    const std::wstring& scheme = uri.SchemeName();
    if (scheme == L"file") {
        if (!uri.Host().empty() && !EqualsNoCase(uri.Host(), L"localhost")) {
            Throw(kInvalidArgument, L"Refused " + uri.RawUri() + L": a file: URI must name a file on this computer.");
        }
        return;
    }
    if (scheme == L"https" && !uri.Host().empty()) {
        return;
    }
    if (scheme == L"http") {
        if (IsLoopbackHost(uri.Host())) {
            return;
        }
        Throw(kInvalidArgument, L"Refused " + uri.RawUri() + L": plain http is allowed only to a loopback host.");
    }
    Throw(kInvalidArgument, L"Refused " + uri.RawUri() + L": only file:, https: and loopback http: URIs are supported.");
}

std::filesystem::path LocalPath(const Uri& uri) {
    const std::string escaped = ToUtf8(uri.Path());
    std::string path;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '%' && i + 2 < escaped.size() && std::isxdigit(static_cast<unsigned char>(escaped[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(escaped[i + 2]))) {
            path += static_cast<char>(std::stoi(escaped.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            path += escaped[i];
        }
    }
    if (path.find('\0') != std::string::npos || path.empty() || path.front() != '/') {
        Throw(kInvalidArgument, L"Refused " + uri.RawUri() + L": it does not name a local file.");
    }
    return path;
}

std::string FetchText(const Uri& uri, std::size_t limit, const FetchOptions& options) {
    CheckSource(uri);
    std::string text;
    if (uri.SchemeName() == L"file") {
        const FileDescriptor file = OpenForReading(uri);
        char buffer[65536];
        while (const std::size_t n = ReadSome(file, buffer, sizeof buffer, uri)) {
            if (text.size() + n > limit) {
                ThrowTooLarge(uri, limit);
            }
            text.append(buffer, n);
        }
        return text;
    }
    HttpTransfer transfer(uri, options, limit);
    transfer.Get(uri, [&](const char* data, std::size_t size) { text.append(data, size); });
    return text;
}

void FetchToFile(const Uri& uri, const std::filesystem::path& destination, const FetchOptions& options) {
    CheckSource(uri);
    FileDescriptor out(::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (out.Get() < 0) {
        const int error = errno;  // read before the text is built
        ThrowFileError(error, L"Cannot create " + PathText(destination));
    }
    if (uri.SchemeName() == L"file") {
        const FileDescriptor in = OpenForReading(uri);
        struct stat info {};
        const std::uint64_t total = ::fstat(in.Get(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
        std::uint64_t done = 0;
        std::vector<char> buffer(1 << 16);
        while (const std::size_t n = ReadSome(in, buffer.data(), buffer.size(), uri)) {
            if (options.cancelled && options.cancelled()) {
                Throw(kCancelled);
            }
            Write(out, buffer.data(), n, destination);
            done += n;
            if (options.progress) {
                options.progress(done, total);
            }
        }
    } else {
        HttpTransfer transfer(uri, options, std::nullopt);
        transfer.Get(uri, [&](const char* data, std::size_t size) { Write(out, data, size, destination); });
    }
    if (const int error = out.Close(); error != 0) {
        ThrowFileError(error, L"Cannot write " + PathText(destination));
    }
}

}  // namespace platform::deployment::local
