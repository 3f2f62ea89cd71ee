#include "platform/deployment/local/format/Hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "platform/Error.h"

namespace platform::deployment::local {

// OpenSSL's own exit handler would remove its per-thread state first and leave
// that of the worker threads behind, so it is not installed.
void InitializeCrypto() {
    static const bool initialized = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    if (!initialized) {
        Throw(kOutOfMemory);
    }
}

void Sha256::ContextDeleter::operator()(evp_md_ctx_st* context) const noexcept { EVP_MD_CTX_free(context); }

Sha256::Sha256() : m_context(EVP_MD_CTX_new()) {
    if (!m_context || EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1) {
        Throw(kOutOfMemory);
    }
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t size) {
    if (EVP_DigestUpdate(m_context.get(), data, size) != 1) {
        Throw(kFail, L"SHA-256 could not be computed.");
    }
}

Sha256Digest Sha256::Finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(m_context.get(), digest.data(), &length) != 1 || length != digest.size() ||
        EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1) {
        Throw(kFail, L"SHA-256 could not be computed.");
    }
    return digest;
}

Sha256Digest Sha256::Of(std::string_view bytes) {
    Sha256 hasher;
    hasher.Update(bytes.data(), bytes.size());
    return hasher.Finish();
}

}  // namespace platform::deployment::local
