#include "tests/support/HttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string_view>
#include <csignal>
#include <cerrno>
#include <fstream>
#include <stdexcept>

namespace test_support {
namespace {

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 206: return "Partial Content";
        case 416: return "Range Not Satisfiable";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        default: return "Status";
    }
}

bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The one byte range a request asks for, as [first, last] of `size` bytes:
// nullopt without one (or with several), {1, 0} when it cannot be satisfied.
std::optional<std::pair<std::size_t, std::size_t>> RequestedRange(const std::string& request, std::size_t size) {
    std::string lower(request);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const auto at = lower.find("\r\nrange: bytes=");
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const auto start = at + std::string_view("\r\nrange: bytes=").size();
    const std::string asked = request.substr(start, request.find("\r\n", start) - start);
    const auto dash = asked.find('-');
    if (dash == std::string::npos || asked.find(',') != std::string::npos) {
        return std::nullopt;
    }
    const std::string from = asked.substr(0, dash);
    const std::string to = asked.substr(dash + 1);
    const std::pair<std::size_t, std::size_t> unsatisfiable{1, 0};
    if (from.empty()) {
        const std::size_t suffix = std::stoull(to);
        return suffix == 0 || size == 0 ? unsatisfiable : std::pair{size - std::min(suffix, size), size - 1};
    }
    const std::size_t first = std::stoull(from);
    if (first >= size) {
        return unsatisfiable;
    }
    return std::pair{first, to.empty() ? size - 1 : std::min<std::size_t>(std::stoull(to), size - 1)};
}

}  // namespace

// One accepted connection, plain or TLS.
class HttpServer::Connection {
public:
    Connection(int fd, SSL_CTX* tls) : m_fd(fd) {
        if (tls != nullptr) {
            m_ssl = SSL_new(tls);
            SSL_set_fd(m_ssl, fd);
            m_ready = SSL_accept(m_ssl) == 1;  // fails when the client refuses the certificate
        }
    }
    ~Connection() {
        if (m_ssl != nullptr) {
            SSL_free(m_ssl);
        }
        ::close(m_fd);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool Ready() const noexcept { return m_ready; }
    bool Buffered() const noexcept { return m_ssl != nullptr && SSL_pending(m_ssl) > 0; }
    ssize_t Receive(char* buffer, std::size_t size) {
        return m_ssl != nullptr ? SSL_read(m_ssl, buffer, static_cast<int>(size)) : ::recv(m_fd, buffer, size, 0);
    }
    bool Send(const char* data, std::size_t size) {
        if (m_ssl == nullptr) {
            return SendAll(m_fd, data, size);
        }
        return size == 0 || SSL_write(m_ssl, data, static_cast<int>(size)) == static_cast<int>(size);
    }
    void Finish() {
        if (m_ssl != nullptr) {
            SSL_shutdown(m_ssl);
        }
        ::shutdown(m_fd, SHUT_WR);
    }

private:
    int m_fd;
    SSL* m_ssl = nullptr;
    bool m_ready = true;
};

HttpServer::HttpServer(const std::optional<TlsCertificate>& tls) {
    if (tls) {
        // OpenSSL writes to the socket without MSG_NOSIGNAL: a client that
        // refused the certificate must not end the test process.
        ::signal(SIGPIPE, SIG_IGN);
        m_tls = SSL_CTX_new(TLS_server_method());
        BIO* certificate = BIO_new_mem_buf(tls->certificatePem.data(), static_cast<int>(tls->certificatePem.size()));
        BIO* key = BIO_new_mem_buf(tls->keyPem.data(), static_cast<int>(tls->keyPem.size()));
        X509* x509 = PEM_read_bio_X509(certificate, nullptr, nullptr, nullptr);
        EVP_PKEY* pkey = PEM_read_bio_PrivateKey(key, nullptr, nullptr, nullptr);
        const bool ok = m_tls != nullptr && x509 != nullptr && pkey != nullptr &&
                        SSL_CTX_use_certificate(m_tls, x509) == 1 && SSL_CTX_use_PrivateKey(m_tls, pkey) == 1;
        X509_free(x509);
        EVP_PKEY_free(pkey);
        BIO_free(certificate);
        BIO_free(key);
        if (!ok) {
            throw std::runtime_error("cannot set up TLS for the test server");
        }
    }
    if (::pipe2(m_stop, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listen, 64) != 0 || ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on the loopback interface");
    }
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { Accept(); });
}

HttpServer::~HttpServer() {
    [[maybe_unused]] const ssize_t n = ::write(m_stop[1], "x", 1);
    m_acceptor.join();
    std::vector<std::thread> connections;
    {
        std::lock_guard lock(m_lock);
        connections.swap(m_connections);
    }
    for (auto& connection : connections) {
        connection.join();
    }
    ::close(m_listen);
    ::close(m_stop[0]);
    ::close(m_stop[1]);
    SSL_CTX_free(m_tls);
}

void HttpServer::Route(const std::string& path, Response response) {
    std::lock_guard lock(m_lock);
    m_routes[path] = std::move(response);
}

void HttpServer::Redirect(const std::string& path, const std::string& location, int status) {
    Response response;
    response.status = status;
    response.headers.emplace_back("Location", location);
    response.body = "moved";
    Route(path, std::move(response));
}

std::string HttpServer::Url(const std::string& path) const {
    return (m_tls != nullptr ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(m_port) + path;
}

std::size_t HttpServer::BytesSent(const std::string& path) const {
    std::lock_guard lock(m_lock);
    auto it = m_bytesSent.find(path);
    return it == m_bytesSent.end() ? 0 : it->second;
}

std::size_t HttpServer::Requests(const std::string& path) const {
    std::lock_guard lock(m_lock);
    auto it = m_requests.find(path);
    return it == m_requests.end() ? 0 : it->second;
}

void HttpServer::Accept() {
    for (;;) {
        pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::lock_guard lock(m_lock);
        m_connections.emplace_back([this, fd] { Serve(fd); });
    }
}

// True when the server is stopping; false when the client went away.
bool HttpServer::WaitForStop(int fd) const {
    pollfd fds[2] = {{m_stop[0], POLLIN, 0}, {fd, POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
    }
    return fds[0].revents != 0;
}

void HttpServer::Serve(int fd) {
    Connection connection(fd, m_tls);
    if (!connection.Ready()) {
        return;
    }
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        pollfd fds[2] = {{m_stop[0], POLLIN, 0}, {fd, POLLIN, 0}};
        if (!connection.Buffered() && ::poll(fds, 2, -1) < 0 && errno == EINTR) {
            continue;
        }
        if (fds[0].revents != 0) {
            return;
        }
        const ssize_t n = connection.Receive(buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        request.append(buffer, static_cast<std::size_t>(n));
    }
    const auto firstSpace = request.find(' ');
    const auto secondSpace = request.find(' ', firstSpace + 1);
    std::string path = firstSpace == std::string::npos ? "" : request.substr(firstSpace + 1, secondSpace - firstSpace - 1);

    Response response;
    {
        std::lock_guard lock(m_lock);
        ++m_requests[path];
        auto it = m_routes.find(path);
        if (it == m_routes.end()) {
            response.status = 404;
            response.body = "not found";
        } else {
            response = it->second;
        }
    }

    if (response.delay.count() > 0) {
        pollfd stop{m_stop[0], POLLIN, 0};
        if (::poll(&stop, 1, static_cast<int>(response.delay.count())) != 0) {
            return;
        }
    }
    std::size_t size = response.body.size();
    if (!response.file.empty()) {
        size = static_cast<std::size_t>(std::filesystem::file_size(response.file));
    }
    std::size_t offset = 0;
    const std::string total = std::to_string(size);
    if (response.status == 200 && !response.ignoreRanges) {
        if (const auto range = RequestedRange(request, size)) {
            if (range->first > range->second) {
                response.status = 416;
                response.headers.emplace_back("Content-Range", "bytes */" + total);
                response.body.clear();
                response.file.clear();
                size = 0;
            } else {
                response.status = 206;
                response.headers.emplace_back("Content-Range", "bytes " + std::to_string(range->first) + "-" +
                                                                   std::to_string(range->second) + "/" + total);
                offset = range->first;
                size = range->second - range->first + 1;
            }
        }
    }
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + Reason(response.status) + "\r\n";
    if (!response.noLength) {
        head += "Content-Length: " + std::to_string(size) + "\r\n";
    }
    head += "Connection: close\r\n";
    for (const auto& [name, value] : response.headers) {
        head += name + ": " + value + "\r\n";
    }
    head += "\r\n";

    std::size_t limit = size;
    for (const auto& cut : {response.dropAfter, response.resetAfter, response.stallAfter}) {
        if (cut) {
            limit = std::min(limit, *cut);
        }
    }
    {
        std::lock_guard lock(m_lock);
        m_bytesSent[path] += limit;
    }
    if (connection.Send(head.data(), head.size())) {
        if (response.trickle) {
            for (std::size_t i = 0; i < limit; ++i) {
                pollfd stop{m_stop[0], POLLIN, 0};
                if (!connection.Send(&response.body[offset + i], 1) ||
                    ::poll(&stop, 1, static_cast<int>(response.trickle->count())) != 0) {
                    return;
                }
            }
        } else if (response.file.empty()) {
            connection.Send(response.body.data() + offset, limit);
        } else {
            SendFile(connection, response, offset, limit);
        }
    }
    if (response.stallAfter) {
        WaitForStop(fd);
    } else if (response.resetAfter) {
        linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    } else if (!response.dropAfter) {
        connection.Finish();
    }
}

void HttpServer::SendFile(Connection& connection, const Response& response, std::size_t offset,
                          std::size_t limit) const {
    std::ifstream in(response.file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    char buffer[65536];
    while (limit > 0 && in) {
        in.read(buffer, static_cast<std::streamsize>(std::min(limit, sizeof buffer)));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0 || !connection.Send(buffer, got)) {
            return;
        }
        limit -= got;
    }
}

}  // namespace test_support
