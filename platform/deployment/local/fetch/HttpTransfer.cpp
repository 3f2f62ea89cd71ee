#include "platform/deployment/local/fetch/HttpTransfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/fetch/CurlLibrary.h"
#include "platform/deployment/local/fetch/SourceRules.h"

namespace platform::deployment::local {

// An easy handle keeps its connections open after a request.
struct HttpConnection::State {
    std::unique_ptr<CURL, CurlDeleter> handle;
};

HttpConnection::HttpConnection() : m_state(std::make_unique<State>()) {}
HttpConnection::~HttpConnection() = default;

// One easy handle, used for each hop of a request. Failures raised inside
// callbacks are kept and the transfer aborted, then raised once it returns.
class HttpTransfer {
public:
    using Sink = std::function<void(const char* data, std::size_t size)>;

    HttpTransfer(const Uri& uri, const FetchOptions& options, std::optional<std::size_t> limit, HttpRange* range,
                 HttpConnection* connection)
        : m_curl(Curl(uri)),
          m_options(options),
          m_limit(limit),
          m_range(range) {
        std::unique_ptr<CURL, CurlDeleter>& handle = connection != nullptr ? connection->m_state->handle : m_handle;
        if (!handle) {
            handle = std::unique_ptr<CURL, CurlDeleter>(m_curl.easy_init(), {m_curl.easy_cleanup});
        }
        if (!handle) {
            Throw(kOutOfMemory);
        }
        m_active = handle.get();
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
        CURL* handle = m_active;
        m_curl.easy_reset(handle);
        m_failure = nullptr;
        m_status = 0;
        m_received = 0;
        m_contentRange.clear();
        m_described = false;
        const std::string url = ToUtf8(uri.RawUri());
        m_lastBytes = 0;
        m_lastActivity = std::chrono::steady_clock::now();
        m_windowBytes = 0;
        m_windowStart = m_lastActivity;
        char errorBuffer[CURL_ERROR_SIZE] = {};
        m_curl.easy_setopt(handle, CURLOPT_URL, url.c_str());
        m_curl.easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
        m_curl.easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
        m_curl.easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        m_curl.easy_setopt(handle, CURLOPT_NOPROXY, "localhost,127.0.0.0/8,::1");
        m_curl.easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_options.connectTimeout.count()));
        m_curl.easy_setopt(handle, CURLOPT_USERAGENT, "appdeploy");
        // Larger pieces than the default 16 KiB: a package's bytes are written
        // and handed on to the extraction in fewer, cheaper steps.
        m_curl.easy_setopt(handle, CURLOPT_BUFFERSIZE, 256L * 1024);
        m_curl.easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
        m_curl.easy_setopt(handle, CURLOPT_WRITEFUNCTION, &HttpTransfer::OnWrite);
        m_curl.easy_setopt(handle, CURLOPT_WRITEDATA, this);
        m_curl.easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
        m_curl.easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &HttpTransfer::OnProgress);
        m_curl.easy_setopt(handle, CURLOPT_XFERINFODATA, this);
        std::string range;
        if (m_range != nullptr) {
            // "first-last", or "-count" for the end
            if (m_range->last) {
                range = std::to_string(m_range->first);
            }
            range += '-';
            range += std::to_string(m_range->last ? *m_range->last : m_range->first);
            m_curl.easy_setopt(handle, CURLOPT_RANGE, range.c_str());
            m_curl.easy_setopt(handle, CURLOPT_HEADERFUNCTION, &HttpTransfer::OnHeader);
            m_curl.easy_setopt(handle, CURLOPT_HEADERDATA, this);
        }
        const std::string authorities = m_options.certificateAuthorities.string();
        if (!authorities.empty()) {
            m_curl.easy_setopt(handle, CURLOPT_CAINFO, authorities.c_str());
            m_curl.easy_setopt(handle, CURLOPT_CAPATH, nullptr);
        }

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
            if (!m_described) {
                Describe();  // an empty body
            }
            if (m_range != nullptr && m_range->partial && m_received != m_partLength) {
                Throw(kConnectionAborted, prefix + L"the connection ended before the whole response arrived.");
            }
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
        if (!IsAllowedRedirect(from, *target)) {
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
            case CURLE_PEER_FAILED_VERIFICATION:
                ThrowCertificateError(prefix, detail);
            case CURLE_SSL_CONNECT_ERROR:
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

    // OpenSSL's verdict on the chain says which certificate check failed; a
    // chain it found no fault in, for a certificate curl then refused, names
    // another host.
    [[noreturn]] void ThrowCertificateError(const std::wstring& prefix, const char* detail) {
        long verdict = 0;
        m_curl.easy_getinfo(m_active, CURLINFO_SSL_VERIFYRESULT, &verdict);
        const std::wstring text = prefix + L"the server's certificate was refused: " + FromUtf8Lossy(detail) + L".";
        switch (verdict) {
            case 0:   // X509_V_OK
            case 1:   // X509_V_ERR_UNSPECIFIED, which curl leaves for its own host name check
            case 50:  // X509_V_ERR_APPLICATION_VERIFICATION
            case 62:  // X509_V_ERR_HOSTNAME_MISMATCH
                Throw(kCertificateNameInvalid, text);
            case 9:   // X509_V_ERR_CERT_NOT_YET_VALID
            case 10:  // X509_V_ERR_CERT_HAS_EXPIRED
            case 13:  // X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD
            case 14:  // X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD
                Throw(kCertificateDateInvalid, text);
            default:  // an issuer not trusted, self-signed, or a broken chain
                Throw(kCertificateAuthorityInvalid, text);
        }
    }

    bool Successful() {
        if (m_status == 0) {
            m_curl.easy_getinfo(m_active, CURLINFO_RESPONSE_CODE, &m_status);
        }
        return m_status >= 200 && m_status < 300;
    }

    // What the answer to a range request holds, checked against what was asked.
    void Describe() {
        m_described = true;
        if (m_range == nullptr) {
            return;
        }
        if (m_status != 206) {
            curl_off_t length = -1;
            m_curl.easy_getinfo(m_active, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
            m_range->partial = false;
            m_range->bodyStart = 0;
            m_range->total = length > 0 ? static_cast<std::uint64_t>(length) : 0;
            return;
        }
        const auto part = ParseContentRange(m_contentRange);
        bool asked = false;
        if (part) {
            const auto [first, last, total] = *part;
            asked = m_range->last ? first == m_range->first && last == std::min(*m_range->last, total - 1)
                                  : first == total - std::min(m_range->first, total) && last == total - 1;
        }
        if (!asked) {
            Throw(kDownloadFailed, L"Cannot download " + m_uri->RawUri() +
                                       L": the server answered with another part of it than the one asked for.");
        }
        m_range->partial = true;
        m_range->bodyStart = std::get<0>(*part);
        m_range->total = std::get<2>(*part);
        m_partLength = std::get<1>(*part) - std::get<0>(*part) + 1;
    }

    // "bytes first-last/total", the only form a 206 for one range may take.
    static std::optional<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> ParseContentRange(
        std::string_view value) {
        constexpr std::string_view kUnit = "bytes ";
        if (value.size() < kUnit.size() || value.substr(0, kUnit.size()) != kUnit) {
            return std::nullopt;
        }
        value.remove_prefix(kUnit.size());
        std::uint64_t numbers[3] = {};
        const char* at = value.data();
        const char* end = value.data() + value.size();
        for (int i = 0; i < 3; ++i) {
            const auto [next, error] = std::from_chars(at, end, numbers[i]);
            if (error != std::errc() || (i < 2 && (next == end || *next != (i == 0 ? '-' : '/')))) {
                return std::nullopt;
            }
            at = i < 2 ? next + 1 : next;
        }
        if (at != end || numbers[0] > numbers[1] || numbers[1] >= numbers[2]) {
            return std::nullopt;
        }
        return std::tuple{numbers[0], numbers[1], numbers[2]};
    }

    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self) noexcept {
        auto& transfer = *static_cast<HttpTransfer*>(self);
        const std::string_view line(data, size * count);
        constexpr std::string_view kName = "content-range:";
        if (line.size() > kName.size() &&
            std::equal(kName.begin(), kName.end(), line.begin(),
                       [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); })) {
            std::string_view value = line.substr(kName.size());
            const auto begin = value.find_first_not_of(" \t");
            const auto end = value.find_last_not_of(" \t\r\n");
            try {
                transfer.m_contentRange = begin == std::string_view::npos ? "" : value.substr(begin, end - begin + 1);
            } catch (...) {
                return 0;
            }
        } else if (line.starts_with("HTTP/")) {
            transfer.m_contentRange.clear();  // an interim answer's headers are not the final one's
        }
        return line.size();
    }

    static std::size_t OnWrite(char* data, std::size_t size, std::size_t count, void* self) noexcept {
        auto& transfer = *static_cast<HttpTransfer*>(self);
        const std::size_t bytes = size * count;
        try {
            if (!transfer.Successful()) {
                return bytes;  // the body of a redirect or an error status
            }
            if (!transfer.m_described) {
                transfer.Describe();
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
            transfer.CheckSpeed(done + sent, now);
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

    // Each period must have moved at least minimumSpeed bytes a second on average.
    void CheckSpeed(curl_off_t bytes, std::chrono::steady_clock::time_point now) {
        const auto period = m_options.minimumSpeedPeriod;
        if (m_options.minimumSpeed == 0 || period.count() <= 0 || now - m_windowStart < period) {
            return;
        }
        const auto expected = static_cast<curl_off_t>(m_options.minimumSpeed) * period.count() / 1000;
        if (bytes - m_windowBytes < expected) {
            Throw(kTimedOut, L"Cannot download " + m_uri->RawUri() + L": the transfer was slower than " +
                                 std::to_wstring(m_options.minimumSpeed) + L" bytes a second for " +
                                 (period.count() % 1000 == 0 ? std::to_wstring(period.count() / 1000) + L" seconds."
                                                             : std::to_wstring(period.count()) + L" milliseconds."));
        }
        m_windowBytes = bytes;
        m_windowStart = now;
    }

    const CurlApi& m_curl;
    const FetchOptions& m_options;
    std::optional<std::size_t> m_limit;
    HttpRange* m_range;
    std::unique_ptr<CURL, CurlDeleter> m_handle;  // without a connection to use
    CURL* m_active = nullptr;
    const Sink* m_sink = nullptr;
    const Uri* m_uri = nullptr;
    std::exception_ptr m_failure;
    long m_status = 0;
    std::size_t m_received = 0;
    std::string m_contentRange;
    bool m_described = false;
    std::uint64_t m_partLength = 0;
    curl_off_t m_lastBytes = 0;
    std::chrono::steady_clock::time_point m_lastActivity;
    curl_off_t m_windowBytes = 0;
    std::chrono::steady_clock::time_point m_windowStart;
};

void HttpGet(const Uri& uri, const FetchOptions& options, std::optional<std::size_t> limit,
             const std::function<void(const char* data, std::size_t size)>& sink, HttpRange* range,
             HttpConnection* connection) {
    HttpTransfer transfer(uri, options, limit, range, connection);
    transfer.Get(uri, sink);
}

}  // namespace platform::deployment::local
