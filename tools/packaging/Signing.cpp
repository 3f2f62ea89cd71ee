#include "tools/packaging/Signing.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

namespace packaging {
namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const noexcept { Free(p); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;
using Bio = Owned<BIO, BIO_free_all>;
using Certificate = Owned<X509, X509_free>;
using Key = Owned<EVP_PKEY, EVP_PKEY_free>;
using Pkcs7 = Owned<PKCS7, PKCS7_free>;
using Object = Owned<ASN1_OBJECT, ASN1_OBJECT_free>;

constexpr const char* kSpcIndirectData = "1.3.6.1.4.1.311.2.1.4";
constexpr const char* kSpcSipInfo = "1.3.6.1.4.1.311.2.1.30";
constexpr const char* kSpcStatementType = "1.3.6.1.4.1.311.2.1.11";
constexpr const char* kIndividualCodeSigning = "1.3.6.1.4.1.311.2.1.21";
constexpr const char* kSpcSpOpusInfo = "1.3.6.1.4.1.311.2.1.12";
constexpr std::uint32_t kSipVersion = 0x01010000;
constexpr char kPackageSip[] = "\x4B\xDF\xC5\x0A\x07\xCE\xE2\x4D\xB7\x6E\x23\xC8\x39\xA0\x9F\xD1";
constexpr char kBundleSip[] = "\xB3\x58\x5F\x0F\xDE\xAA\x9A\x4B\xA4\x34\x95\x74\x2D\x92\xEC\xEB";
constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kInteger = 0x02;
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kNull = 0x05;

[[noreturn]] void Fail(const std::string& text) {
    ERR_clear_error();
    throw std::runtime_error(text);
}

std::string Tlv(unsigned char tag, std::string_view content) {
    std::string der(1, static_cast<char>(tag));
    if (content.size() < 0x80) {
        der += static_cast<char>(content.size());
    } else {
        std::string length;
        for (std::size_t rest = content.size(); rest != 0; rest >>= 8) {
            length.insert(length.begin(), static_cast<char>(rest & 0xFF));
        }
        der += static_cast<char>(0x80 | length.size());
        der += length;
    }
    der += content;
    return der;
}

std::string Sequence(std::string_view content) { return Tlv(kSequence, content); }

std::string Integer(std::uint32_t value) {
    std::string bytes;
    do {
        bytes.insert(bytes.begin(), static_cast<char>(value & 0xFF));
        value >>= 8;
    } while (value != 0);
    if ((static_cast<unsigned char>(bytes.front()) & 0x80) != 0) {
        bytes.insert(bytes.begin(), '\0');
    }
    return Tlv(kInteger, bytes);
}

std::string ObjectDer(const ASN1_OBJECT* object) {
    const int length = object != nullptr ? i2d_ASN1_OBJECT(object, nullptr) : -1;
    if (length <= 0) {
        Fail("cannot encode an object identifier");
    }
    std::string der(static_cast<std::size_t>(length), '\0');
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    i2d_ASN1_OBJECT(object, &out);
    return der;
}

Object ObjectOf(const char* dotted) {
    Object object(OBJ_txt2obj(dotted, 1));
    if (!object) {
        Fail(std::string("cannot make the object identifier ") + dotted);
    }
    return object;
}

// The content bytes of a DER element, without its tag and length: what the
// signature's message digest covers.
std::string_view Value(std::string_view der) {
    const auto first = static_cast<unsigned char>(der.at(1));
    return der.substr(first < 0x80 ? 2 : 2 + (first & 0x7F));
}

// SpcIndirectDataContent: what is signed (an SpcSipInfo naming a package or a
// bundle) and the digest blob, "APPX" and each part's tag and hash.
std::string IndirectData(const EVP_MD* md, bool bundle, const SignedDigests& digests) {
    std::string blob = "APPX";
    for (const auto& [tag, digest] :
         {std::pair<const char*, const std::string&>{"AXPC", digests.beforeSignature},
          {"AXCD", digests.centralDirectory},
          {"AXCT", digests.contentTypes},
          {"AXBM", digests.blockMap},
          {"AXCI", digests.codeIntegrity}}) {
        if (!digest.empty()) {
            blob += tag;
            blob += digest;
        }
    }
    std::string sipInfo = Integer(kSipVersion) + Tlv(kOctetString, std::string_view(bundle ? kBundleSip : kPackageSip, 16));
    for (int reserved = 0; reserved < 5; ++reserved) {
        sipInfo += Integer(0);
    }
    const std::string what = Sequence(ObjectDer(ObjectOf(kSpcSipInfo).get()) + Sequence(sipInfo));
    const std::string algorithm = Sequence(ObjectDer(OBJ_nid2obj(EVP_MD_get_type(md))) + Tlv(kNull, ""));
    return Sequence(what + Sequence(algorithm + Tlv(kOctetString, blob)));
}

Bio MemoryOf(std::string_view text) {
    Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (!bio) {
        Fail("out of memory");
    }
    return bio;
}

// Every certificate of a PEM text, at least one.
std::vector<Certificate> LoadCertificates(std::string_view pem, const std::string& what) {
    const Bio bio = MemoryOf(pem);
    std::vector<Certificate> certificates;
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        certificates.emplace_back(certificate);
    }
    if (certificates.empty()) {
        Fail(what + " holds no PEM certificate");
    }
    ERR_clear_error();
    return certificates;
}

// Never asks for a passphrase: an encrypted key fails to load instead.
int NoPassphrase(char*, int, int, void*) { return -1; }

void AddAttribute(PKCS7_SIGNER_INFO* info, const char* oid, const std::string& der) {
    if (X509at_add1_attr_by_OBJ(&info->auth_attr, ObjectOf(oid).get(), V_ASN1_SEQUENCE,
                                reinterpret_cast<const unsigned char*>(der.data()), static_cast<int>(der.size())) == nullptr) {
        Fail("cannot add a signed attribute");
    }
}

// The signed content as the SignedData carries it: of type SPC_INDIRECT_DATA.
PKCS7* ContentOf(const std::string& indirectData) {
    Pkcs7 content(PKCS7_new());
    ASN1_TYPE* value = ASN1_TYPE_new();
    ASN1_STRING* sequence = ASN1_STRING_type_new(V_ASN1_SEQUENCE);
    if (!content || value == nullptr || sequence == nullptr ||
        ASN1_STRING_set(sequence, indirectData.data(), static_cast<int>(indirectData.size())) != 1) {
        ASN1_TYPE_free(value);
        ASN1_STRING_free(sequence);
        Fail("out of memory");
    }
    ASN1_TYPE_set(value, V_ASN1_SEQUENCE, sequence);
    content->type = ObjectOf(kSpcIndirectData).release();
    content->d.other = value;
    return content.release();
}

// The signing certificate first, then the chain's.
struct LoadedSigner {
    std::vector<Certificate> certificates;
    Key key;
};

LoadedSigner Load(const Signer& signer) {
    LoadedSigner loaded{LoadCertificates(signer.certificatePem, "the signing certificate"),
                        Key(PEM_read_bio_PrivateKey(MemoryOf(signer.privateKeyPem).get(), nullptr, NoPassphrase, nullptr))};
    if (!loaded.key) {
        Fail("the signing key is not an unencrypted PEM private key");
    }
    if (X509_check_private_key(loaded.certificates.front().get(), loaded.key.get()) != 1) {
        Fail("the signing key does not belong to the signing certificate");
    }
    for (const std::string& pem : signer.chainPem) {
        for (Certificate& chained : LoadCertificates(pem, "a chain certificate")) {
            loaded.certificates.push_back(std::move(chained));
        }
    }
    return loaded;
}

}  // namespace

void CheckSigner(const Signer& signer) { Load(signer); }

const EVP_MD* DigestAlgorithm(HashMethod method) {
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

std::string SignatureFile(const Signer& signer, HashMethod method, bool bundle, const SignedDigests& digests) {
    const LoadedSigner loaded = Load(signer);
    X509* certificate = loaded.certificates.front().get();

    const EVP_MD* md = DigestAlgorithm(method);
    const std::string indirectData = IndirectData(md, bundle, digests);
    const Pkcs7 signature(PKCS7_new());
    PKCS7_SIGNER_INFO* info = nullptr;
    if (!signature || PKCS7_set_type(signature.get(), NID_pkcs7_signed) != 1 ||
        (info = PKCS7_add_signature(signature.get(), certificate, loaded.key.get(), md)) == nullptr) {
        Fail("cannot start the signature");
    }
    Object contentType = ObjectOf(kSpcIndirectData);
    if (PKCS7_add_signed_attribute(info, NID_pkcs9_contentType, V_ASN1_OBJECT, contentType.get()) != 1) {
        Fail("cannot add a signed attribute");
    }
    contentType.release();
    // As signers do: an empty program description and individual code signing.
    AddAttribute(info, kSpcSpOpusInfo, Sequence(""));
    AddAttribute(info, kSpcStatementType, Sequence(ObjectDer(ObjectOf(kIndividualCodeSigning).get())));
    for (const Certificate& included : loaded.certificates) {
        if (PKCS7_add_certificate(signature.get(), included.get()) != 1) {
            Fail("cannot include a certificate");
        }
    }

    // Signed as detached data, the content's value bytes, then given its real
    // content type, which OpenSSL's data path cannot carry.
    if (PKCS7_content_new(signature.get(), NID_pkcs7_data) != 1 || PKCS7_set_detached(signature.get(), 1) != 1) {
        Fail("cannot start the signature");
    }
    const std::string_view signedBytes = Value(indirectData);
    const Bio digest(PKCS7_dataInit(signature.get(), nullptr));
    if (!digest || BIO_write(digest.get(), signedBytes.data(), static_cast<int>(signedBytes.size())) !=
                       static_cast<int>(signedBytes.size()) ||
        PKCS7_dataFinal(signature.get(), digest.get()) != 1) {
        Fail("signing failed");
    }
    PKCS7* content = ContentOf(indirectData);
    if (PKCS7_set_content(signature.get(), content) != 1) {
        PKCS7_free(content);
        Fail("signing failed");
    }

    const int length = i2d_PKCS7(signature.get(), nullptr);
    if (length <= 0) {
        Fail("cannot encode the signature");
    }
    std::string file = "PKCX" + std::string(static_cast<std::size_t>(length), '\0');
    auto* out = reinterpret_cast<unsigned char*>(file.data() + 4);
    i2d_PKCS7(signature.get(), &out);
    // Nothing of the signing is left on the thread's error queue for later callers.
    ERR_clear_error();
    return file;
}

}  // namespace packaging
