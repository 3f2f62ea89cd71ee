#include "platform/deployment/local/format/Signature.h"

#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "platform/Error.h"
#include "platform/deployment/local/Codes.h"

namespace platform::deployment::local {
namespace {

using namespace std::string_view_literals;

constexpr std::string_view kMagic = "PKCX"sv;
constexpr std::string_view kDigestBlobMagic = "APPX"sv;
constexpr const char* kIndirectDataOid = "1.3.6.1.4.1.311.2.1.4";

// The DER encodings (tag, length, value) of the object identifiers compared below.
constexpr std::string_view kSipInfoOid = "\x06\x0a\x2b\x06\x01\x04\x01\x82\x37\x02\x01\x1e"sv;
constexpr std::string_view kSha256Oid = "\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01"sv;
constexpr std::string_view kSha384Oid = "\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x02"sv;
constexpr std::string_view kSha512Oid = "\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x03"sv;
constexpr std::string_view kSipVersion = "\x01\x01\x00\x00"sv;
constexpr std::string_view kPackageSip = "\x4b\xdf\xc5\x0a\x07\xce\xe2\x4d\xb7\x6e\x23\xc8\x39\xa0\x9f\xd1"sv;
constexpr std::string_view kBundleSip = "\xb3\x58\x5f\x0f\xde\xaa\x9a\x4b\xa4\x34\x95\x74\x2d\x92\xec\xeb"sv;

constexpr unsigned char kInteger = 0x02;
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kObjectIdentifier = 0x06;
constexpr unsigned char kSequence = 0x30;

constexpr std::array<std::string_view, kSignedPartCount> kTags = {"AXPC", "AXCD", "AXCT", "AXBM", "AXCI"};

[[noreturn]] void Malformed(const std::wstring& fault) {
    Throw(kMalformedSignature, L"The signature file " + fault + L".");
}

// One DER element after another, each with a single-byte tag and a definite length.
class DerReader {
public:
    explicit DerReader(std::string_view bytes) : m_rest(bytes) {}

    bool AtEnd() const noexcept { return m_rest.empty(); }

    // The next element, which must have `tag`: its whole encoding and its value.
    struct Element {
        std::string_view encoding;
        std::string_view value;
    };
    Element Next(unsigned char tag, const wchar_t* what) {
        if (m_rest.size() < 2 || static_cast<unsigned char>(m_rest[0]) != tag) {
            Malformed(std::wstring(L"has no ") + what + L" where its signed content needs one");
        }
        std::size_t at = 2;
        std::uint64_t length = static_cast<unsigned char>(m_rest[1]);
        if (length >= 0x80) {
            const std::size_t count = length & 0x7F;
            if (count == 0 || count > 4 || m_rest.size() < 2 + count) {
                Malformed(std::wstring(L"has an unreadable length in its ") + what);
            }
            length = 0;
            for (std::size_t i = 0; i < count; ++i) {
                length = (length << 8) | static_cast<unsigned char>(m_rest[2 + i]);
            }
            at += count;
        }
        if (length > m_rest.size() - at) {
            Malformed(std::wstring(L"has a ") + what + L" that runs past its end");
        }
        const Element element{m_rest.substr(0, at + length), m_rest.substr(at, length)};
        m_rest.remove_prefix(at + length);
        return element;
    }

private:
    std::string_view m_rest;
};

std::string_view AsText(const unsigned char* data, int length) {
    return {reinterpret_cast<const char*>(data), static_cast<std::size_t>(std::max(length, 0))};
}

// The SpcIndirectDataContent's SEQUENCE, encoded, from the SignedData's content.
std::string_view IndirectDataOf(pkcs7_st* signedData) {
    if (PKCS7_type_is_signed(signedData) == 0 || signedData->d.sign == nullptr) {
        Malformed(L"is not a PKCS #7 SignedData");
    }
    const STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(signedData);
    if (signers == nullptr || sk_PKCS7_SIGNER_INFO_num(signers) != 1) {
        Malformed(L"does not have exactly one signer");
    }
    const PKCS7* contents = signedData->d.sign->contents;
    char type[64] = {};
    if (contents == nullptr || contents->type == nullptr ||
        OBJ_obj2txt(type, sizeof type, contents->type, 1) <= 0 || std::string_view(type) != kIndirectDataOid) {
        Malformed(L"does not hold SPC_INDIRECT_DATA content");
    }
    const ASN1_TYPE* content = contents->d.other;
    if (content == nullptr || content->type != V_ASN1_SEQUENCE || content->value.sequence == nullptr) {
        Malformed(L"has SPC_INDIRECT_DATA content that is not a SEQUENCE");
    }
    return AsText(content->value.sequence->data, content->value.sequence->length);
}

HashMethod MethodOf(std::string_view algorithmOid) {
    if (algorithmOid == kSha256Oid) {
        return HashMethod::Sha256;
    }
    if (algorithmOid == kSha384Oid) {
        return HashMethod::Sha384;
    }
    if (algorithmOid == kSha512Oid) {
        return HashMethod::Sha512;
    }
    Malformed(L"names a digest algorithm other than SHA-256, SHA-384 and SHA-512");
}

void ReadDigestBlob(std::string_view blob, SignatureFile& signature) {
    if (!blob.starts_with(kDigestBlobMagic)) {
        Malformed(L"has a digest that does not start with APPX");
    }
    blob.remove_prefix(kDigestBlobMagic.size());
    const std::size_t size = DigestSize(signature.method);
    while (!blob.empty()) {
        if (blob.size() < 4 + size) {
            Malformed(L"has a digest blob that ends inside a digest");
        }
        const auto tag = std::find(kTags.begin(), kTags.end(), blob.substr(0, 4));
        if (tag == kTags.end()) {
            Malformed(L"has a digest of an unknown part");
        }
        auto& digest = signature.digests[static_cast<std::size_t>(tag - kTags.begin())];
        if (digest) {
            Malformed(L"has a digest of the same part twice");
        }
        digest = Digest(std::span(reinterpret_cast<const std::uint8_t*>(blob.data() + 4), size));
        blob.remove_prefix(4 + size);
    }
    for (const SignedPart required :
         {SignedPart::Package, SignedPart::CentralDirectory, SignedPart::ContentTypes, SignedPart::BlockMap}) {
        if (!signature.digests[static_cast<std::size_t>(required)]) {
            Malformed(L"lacks a digest the package needs");
        }
    }
}

// SpcIndirectDataContent: { { SpcSipInfo's OID, SpcSipInfo }, DigestInfo }.
void ReadIndirectData(std::string_view encoded, SignatureFile& signature) {
    DerReader outer(encoded);
    const auto content = outer.Next(kSequence, L"SpcIndirectDataContent");
    if (!outer.AtEnd()) {
        Malformed(L"has data after its SpcIndirectDataContent");
    }
    signature.signedContent = content.value;

    DerReader fields(content.value);
    DerReader data(fields.Next(kSequence, L"SpcAttributeTypeAndOptionalValue").value);
    if (data.Next(kObjectIdentifier, L"attribute type").encoding != kSipInfoOid) {
        Malformed(L"does not hold an SpcSipInfo");
    }
    DerReader sipInfo(data.Next(kSequence, L"SpcSipInfo").value);
    if (sipInfo.Next(kInteger, L"SIP version").value != kSipVersion) {
        Malformed(L"has an SpcSipInfo of another version");
    }
    const std::string_view identifier = sipInfo.Next(kOctetString, L"SIP identifier").value;
    if (identifier == kPackageSip) {
        signature.subject = SignedSubject::Package;
    } else if (identifier == kBundleSip) {
        signature.subject = SignedSubject::Bundle;
    } else {
        Malformed(L"is neither a package's nor a bundle's");
    }

    DerReader digestInfo(fields.Next(kSequence, L"DigestInfo").value);
    DerReader algorithm(digestInfo.Next(kSequence, L"digest algorithm").value);
    signature.method = MethodOf(algorithm.Next(kObjectIdentifier, L"digest algorithm").encoding);
    ReadDigestBlob(digestInfo.Next(kOctetString, L"digest").value, signature);
}

}  // namespace

void SignatureFile::SignedDataDeleter::operator()(pkcs7_st* signedData) const noexcept { PKCS7_free(signedData); }

SignatureFile ReadSignature(std::string_view bytes) {
    if (!bytes.starts_with(kMagic)) {
        Malformed(L"does not start with PKCX");
    }
    bytes.remove_prefix(kMagic.size());
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<long>::max())) {
        Malformed(L"is too large");
    }
    SignatureFile signature;
    const auto* next = reinterpret_cast<const unsigned char*>(bytes.data());
    signature.signedData.reset(d2i_PKCS7(nullptr, &next, static_cast<long>(bytes.size())));
    if (!signature.signedData) {
        Malformed(L"does not hold a readable PKCS #7 structure");
    }
    if (next != reinterpret_cast<const unsigned char*>(bytes.data() + bytes.size())) {
        Malformed(L"has data after its PKCS #7 structure");
    }
    ReadIndirectData(IndirectDataOf(signature.signedData.get()), signature);
    return signature;
}

}  // namespace platform::deployment::local
