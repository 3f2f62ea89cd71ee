// SHA-256 through OpenSSL, incrementally or in one call, and the start-up of
// OpenSSL that every thread using it depends on.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

struct evp_md_ctx_st;

namespace platform::deployment::local {

// Starts OpenSSL for the process; raises 0x8007000E when it cannot. OpenSSL
// (hashing, TLS) runs on the worker threads, which the process joins only
// while it exits, so this has to come before any other use of OpenSSL.
void InitializeCrypto();

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* data, std::size_t size);
    // The digest of everything updated so far; the hasher starts over after it.
    Sha256Digest Finish();

    static Sha256Digest Of(std::string_view bytes);

private:
    struct ContextDeleter {
        void operator()(evp_md_ctx_st* context) const noexcept;
    };
    std::unique_ptr<evp_md_ctx_st, ContextDeleter> m_context;
};

}  // namespace platform::deployment::local
