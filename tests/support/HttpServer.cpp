#include "tests/support/HttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <stdexcept>

namespace test_support {
namespace {

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
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

}  // namespace

HttpServer::HttpServer() {
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
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
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
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        pollfd fds[2] = {{m_stop[0], POLLIN, 0}, {fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno == EINTR) {
            continue;
        }
        if (fds[0].revents != 0) {
            ::close(fd);
            return;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ::close(fd);
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
            ::close(fd);
            return;
        }
    }
    std::size_t size = response.body.size();
    if (!response.file.empty()) {
        size = static_cast<std::size_t>(std::filesystem::file_size(response.file));
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
    if (SendAll(fd, head.data(), head.size())) {
        if (response.file.empty()) {
            SendAll(fd, response.body.data(), limit);
        } else {
            SendFile(fd, response, limit);
        }
    }
    if (response.stallAfter) {
        WaitForStop(fd);
    } else if (response.resetAfter) {
        linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    } else if (!response.dropAfter) {
        ::shutdown(fd, SHUT_WR);
    }
    ::close(fd);
}

void HttpServer::SendFile(int fd, const Response& response, std::size_t limit) const {
    std::ifstream in(response.file, std::ios::binary);
    char buffer[65536];
    while (limit > 0 && in) {
        in.read(buffer, static_cast<std::streamsize>(std::min(limit, sizeof buffer)));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0 || !SendAll(fd, buffer, got)) {
            return;
        }
        limit -= got;
    }
}

}  // namespace test_support
