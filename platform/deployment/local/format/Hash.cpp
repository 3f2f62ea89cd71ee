#include "platform/deployment/local/format/Hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "platform/Error.h"

namespace platform::deployment::local {
namespace {

const EVP_MD* Algorithm(HashMethod method) {
    switch (method) {
        case HashMethod::Sha384:
            return EVP_sha384();
        case HashMethod::Sha512:
            return EVP_sha512();
        case HashMethod::Sha256:
            break;
    }
    return EVP_sha256();
}

}  // namespace

// OpenSSL's own exit handler would remove its per-thread state first and leave
// that of the worker threads behind, so it is not installed.
void InitializeCrypto() {
    static const bool initialized = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    if (!initialized) {
        Throw(kOutOfMemory);
    }
}

std::size_t DigestSize(HashMethod method) {
    switch (method) {
        case HashMethod::Sha384:
            return 48;
        case HashMethod::Sha512:
            return 64;
        case HashMethod::Sha256:
            break;
    }
    return 32;
}

Digest::Digest(std::span<const std::uint8_t> bytes) : m_size(std::min(bytes.size(), kMaxSize)) {
    std::copy_n(bytes.begin(), m_size, m_bytes.begin());
}

void Hasher::ContextDeleter::operator()(evp_md_ctx_st* context) const noexcept { EVP_MD_CTX_free(context); }

Hasher::Hasher(HashMethod method) : m_method(method), m_context(EVP_MD_CTX_new()) {
    if (!m_context || EVP_DigestInit_ex(m_context.get(), Algorithm(method), nullptr) != 1) {
        Throw(kOutOfMemory);
    }
}

Hasher::~Hasher() = default;

void Hasher::Update(const void* data, std::size_t size) {
    if (EVP_DigestUpdate(m_context.get(), data, size) != 1) {
        Throw(kFail, L"The hash could not be computed.");
    }
}

Digest Hasher::Finish() {
    std::array<std::uint8_t, Digest::kMaxSize> bytes{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(m_context.get(), bytes.data(), &length) != 1 || length != DigestSize(m_method) ||
        EVP_DigestInit_ex(m_context.get(), Algorithm(m_method), nullptr) != 1) {
        Throw(kFail, L"The hash could not be computed.");
    }
    return Digest(std::span(bytes.data(), length));
}

Sha256Digest Sha256::Finish() {
    const Digest digest = m_hasher.Finish();
    Sha256Digest result{};
    std::ranges::copy(digest.Bytes(), result.begin());
    return result;
}

Sha256Digest Sha256::Of(std::string_view bytes) {
    Sha256 hasher;
    hasher.Update(bytes.data(), bytes.size());
    return hasher.Finish();
}

}  // namespace platform::deployment::local
