// A tiny loopback HTTP/1.1 server for tests (over TLS when given a certificate):
// serves canned responses and files, and misbehaves on request (drops or resets
// the connection half way, stalls, trickles).
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/TestCertificates.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace test_support {

class HttpServer {
public:
    struct Response {
        int status = 200;
        std::string body;                                          // used when file is empty
        std::filesystem::path file;                                // streamed from disk when set
        std::vector<std::pair<std::string, std::string>> headers;  // extra headers, e.g. Location
        // Misbehaviour after this many body bytes (Content-Length still announces all of it).
        std::optional<std::size_t> dropAfter;   // close the connection cleanly
        std::optional<std::size_t> resetAfter;  // abort it with a TCP reset
        std::optional<std::size_t> stallAfter;  // send nothing more until the server stops
        std::chrono::milliseconds delay{0};  // wait this long before answering
        // Send the body one byte at a time, this far apart.
        std::optional<std::chrono::milliseconds> trickle;
        bool noLength = false;  // no Content-Length: the body ends when the connection closes
        // A 200 answers a request for one byte range with that part (206) unless this is set.
        bool ignoreRanges = false;

        static Response Text(std::string body, int status = 200) {
            Response response;
            response.status = status;
            response.body = std::move(body);
            return response;
        }
        static Response File(std::filesystem::path file) {
            Response response;
            response.file = std::move(file);
            return response;
        }
    };

    // Listens on 127.0.0.1 at a free port; one thread accepts, one serves each
    // connection. With a certificate it speaks https only.
    explicit HttpServer(const std::optional<TlsCertificate>& tls = std::nullopt);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    void Route(const std::string& path, Response response);
    void Redirect(const std::string& path, const std::string& location, int status = 302);

    int Port() const noexcept { return m_port; }
    // "http://127.0.0.1:<port>" (https with TLS) followed by the path.
    std::string Url(const std::string& path) const;
    // How many requests asked for the path so far.
    std::size_t Requests(const std::string& path) const;
    // How many body bytes went out for the path so far.
    std::size_t BytesSent(const std::string& path) const;

private:
    class Connection;
    void Accept();
    void Serve(int fd);
    void SendFile(Connection& connection, const Response& response, std::size_t offset, std::size_t limit) const;
    bool WaitForStop(int fd) const;

    SSL_CTX* m_tls = nullptr;
    int m_listen = -1;
    int m_stop[2] = {-1, -1};
    int m_port = 0;
    mutable std::mutex m_lock;
    std::map<std::string, Response> m_routes;
    std::map<std::string, std::size_t> m_requests;
    std::map<std::string, std::size_t> m_bytesSent;
    std::vector<std::thread> m_connections;
    std::thread m_acceptor;
};

}  // namespace test_support
