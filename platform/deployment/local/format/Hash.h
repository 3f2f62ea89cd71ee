// The hashes a package names (SHA-256, SHA-384, SHA-512) through OpenSSL,
// incrementally or in one call, and the start-up of OpenSSL that every thread
// using it depends on.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

struct evp_md_ctx_st;

namespace platform::deployment::local {

// Starts OpenSSL for the process; raises 0x8007000E when it cannot. OpenSSL
// (hashing, TLS) runs on the worker threads, which the process joins only
// while it exits, so this has to come before any other use of OpenSSL.
void InitializeCrypto();

enum class HashMethod { Sha256, Sha384, Sha512 };

// The digest's length in bytes: 32, 48 or 64.
std::size_t DigestSize(HashMethod method);

// A digest of any of the methods, compared by its bytes.
class Digest {
public:
    static constexpr std::size_t kMaxSize = 64;

    Digest() = default;
    explicit Digest(std::span<const std::uint8_t> bytes);

    std::span<const std::uint8_t> Bytes() const noexcept { return {m_bytes.data(), m_size}; }
    friend bool operator==(const Digest& left, const Digest& right) noexcept {
        return std::ranges::equal(left.Bytes(), right.Bytes());
    }

private:
    std::array<std::uint8_t, kMaxSize> m_bytes{};
    std::size_t m_size = 0;
};

class Hasher {
public:
    explicit Hasher(HashMethod method);
    ~Hasher();
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    void Update(const void* data, std::size_t size);
    // The digest of everything updated so far; the hasher starts over after it.
    Digest Finish();

private:
    struct ContextDeleter {
        void operator()(evp_md_ctx_st* context) const noexcept;
    };
    HashMethod m_method;
    std::unique_ptr<evp_md_ctx_st, ContextDeleter> m_context;
};

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    void Update(const void* data, std::size_t size) { m_hasher.Update(data, size); }
    // The digest of everything updated so far; the hasher starts over after it.
    Sha256Digest Finish();

    static Sha256Digest Of(std::string_view bytes);

private:
    Hasher m_hasher{HashMethod::Sha256};
};

}  // namespace platform::deployment::local
