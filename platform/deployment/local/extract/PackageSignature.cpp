#include "platform/deployment/local/extract/PackageSignature.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileDescriptor.h"
#include "platform/deployment/local/FileError.h"
#include "platform/deployment/local/format/DistinguishedName.h"
#include "platform/deployment/local/format/PartNames.h"
#include "platform/deployment/local/format/SignedZip.h"

namespace platform::deployment::local {
namespace {

namespace fs = std::filesystem;

// Far above what real signatures and footprint files carry.
constexpr std::uint64_t kSignatureLimit = 64 * 1024 * 1024;
constexpr std::uint64_t kFootprintLimit = 1024ull * 1024 * 1024;
constexpr std::uint64_t kTrustedFileLimit = 16 * 1024 * 1024;

constexpr std::array<const wchar_t*, kSignedPartCount> kPartNames = {
    L"the package's bytes before the signature", L"the central directory", L"[Content_Types].xml",
    L"AppxBlockMap.xml", L"AppxMetadata/CodeIntegrity.cat"};

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* value) const noexcept { Free(value); }
};
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using Certificate = std::unique_ptr<X509, Freer<X509, X509_free>>;
using StoreContext = std::unique_ptr<X509_STORE_CTX, Freer<X509_STORE_CTX, X509_STORE_CTX_free>>;

void FreeCertificateStack(STACK_OF(X509) * stack) { sk_X509_free(stack); }
using CertificateStack = std::unique_ptr<STACK_OF(X509), Freer<STACK_OF(X509), FreeCertificateStack>>;

Bio MemoryBio(std::string_view bytes) {
    Bio bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio) {
        Throw(kOutOfMemory);
    }
    return bio;
}

Digest DigestOfEntry(const PackageArchive& package, const ArchiveEntry& entry, HashMethod method) {
    Hasher hasher(method);
    package.ReadInPieces(entry, kFootprintLimit, kCorruptPackage,
                         [&](std::string_view piece) { hasher.Update(piece.data(), piece.size()); });
    return hasher.Finish();
}

const ArchiveEntry* FindFile(const PackageArchive& package, std::string_view name) {
    const auto found = std::find_if(package.Entries().begin(), package.Entries().end(),
                                    [&](const ArchiveEntry& entry) { return !entry.directory && entry.name == name; });
    return found == package.Entries().end() ? nullptr : &*found;
}

[[noreturn]] void FailDigest(const PackageArchive& package, std::size_t part, bool present, bool signedPart) {
    package.Fail(kBadDigest, std::wstring(L"does not match its signature: ") + kPartNames[part] +
                                 (present && signedPart ? L" has another digest"
                                  : present             ? L" is not signed"
                                                        : L" is signed but missing"));
}

// Every digest the signature lists but the first, against the file as read;
// returns where the first one's bytes end.
std::uint64_t CheckDigests(const PackageArchive& package, const fs::path& file, const std::optional<FileRange>& range,
                           const SignatureFile& signature, ArrivingFile* arriving) {
    std::array<std::optional<Digest>, kSignedPartCount> actual;
    const PackageBytes bytes(file, range, arriving);
    std::optional<SignedZipLayout> layout;
    try {
        layout = ReadSignedZipLayout(bytes);
    } catch (const PlatformError& error) {
        package.FailWith(error);
    }
    if (!layout) {
        package.Fail(kCorruptPackage, L"has no signature entry in its central directory");
    }
    actual[static_cast<std::size_t>(SignedPart::Package)] = signature.digests[static_cast<std::size_t>(SignedPart::Package)];
    actual[static_cast<std::size_t>(SignedPart::CentralDirectory)] =
        ComputeDirectoryDigest(bytes, *layout, signature.method);
    actual[static_cast<std::size_t>(SignedPart::ContentTypes)] =
        DigestOfEntry(package, package.Required(kContentTypesName), signature.method);
    actual[static_cast<std::size_t>(SignedPart::BlockMap)] =
        DigestOfEntry(package, package.Required(kBlockMapName), signature.method);
    if (const ArchiveEntry* catalog = FindFile(package, kCodeIntegrityName)) {
        actual[static_cast<std::size_t>(SignedPart::CodeIntegrity)] = DigestOfEntry(package, *catalog, signature.method);
    }
    for (std::size_t part = 0; part < kSignedPartCount; ++part) {
        if (actual[part] != signature.digests[part]) {
            FailDigest(package, part, actual[part].has_value(), signature.digests[part].has_value());
        }
    }
    return layout->signedPrefix;
}

// Below the store's folder no link is followed, for any user.
std::string ReadTrustedFile(const fs::path& path) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!file || ::fstat(file.Get(), &status) != 0) {
        const int error = errno;
        if (error == ELOOP) {
            Throw(kAccessDenied, L"The trusted certificate file " + PathText(path) +
                                     L" is a symbolic link; the store follows none.");
        }
        ThrowFileError(error, L"Cannot read the trusted certificate file " + PathText(path));
    }
    if (!S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) > kTrustedFileLimit) {
        Throw(kUntrustedRoot, L"The trusted certificate file " + PathText(path) +
                                  L" is not a certificate file (a plain file of at most 16 MiB).");
    }
    std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t read = ::read(file.Get(), bytes.data() + done, bytes.size() - done);
        if (read < 0 && errno == EINTR) {
            continue;
        }
        if (read <= 0) {
            ThrowFileError(read < 0 ? errno : EIO, L"Cannot read the trusted certificate file " + PathText(path));
        }
        done += static_cast<std::size_t>(read);
    }
    return bytes;
}

std::wstring VerifyErrorText(int error) { return FromUtf8Lossy(X509_verify_cert_error_string(error)); }

DistinguishedName SubjectOf(X509* certificate) {
    const X509_NAME* subject = X509_get_subject_name(certificate);
    DistinguishedName name;
    int relative = -1;
    for (int i = 0; i < X509_NAME_entry_count(subject); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(subject, i);
        char type[128] = {};
        OBJ_obj2txt(type, sizeof type, X509_NAME_ENTRY_get_object(entry), 1);
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
        std::string value = length >= 0 ? std::string(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length))
                                        : std::string("\xEF\xBF\xBD");
        OPENSSL_free(utf8);
        if (name.empty() || X509_NAME_ENTRY_set(entry) != relative) {
            relative = X509_NAME_ENTRY_set(entry);
            name.emplace_back();
        }
        name.back().push_back(NameAttribute{type, std::move(value)});
    }
    return name;
}

// Returns the signing certificate's SHA-256 fingerprint.
std::string CheckSigner(const PackageArchive& package, const SignatureFile& signature, std::wstring_view publisher,
                        const SignatureCheck& check) {
    PKCS7* signedData = signature.signedData.get();
    const TrustedCertificates none;
    X509_STORE* store = check.trusted ? check.trusted->Store() : none.Store();
    const Bio content = MemoryBio(signature.signedContent);
    if (PKCS7_verify(signedData, nullptr, store, content.get(), nullptr, PKCS7_NOVERIFY | PKCS7_BINARY) != 1) {
        ERR_clear_error();
        package.Fail(kBadDigest, L"has a signature that does not verify");
    }
    const CertificateStack signers(PKCS7_get0_signers(signedData, nullptr, 0));
    if (!signers || sk_X509_num(signers.get()) != 1) {
        ERR_clear_error();
        package.Fail(kMalformedSignature, L"has a signature without its signing certificate");
    }
    X509* signer = sk_X509_value(signers.get(), 0);

    const StoreContext context(X509_STORE_CTX_new());
    if (!context || X509_STORE_CTX_init(context.get(), store, signer, signedData->d.sign->cert) != 1) {
        Throw(kOutOfMemory);
    }
    X509_STORE_CTX_set_flags(context.get(), X509_V_FLAG_PARTIAL_CHAIN);
    if (X509_verify_cert(context.get()) != 1) {
        const int error = X509_STORE_CTX_get_error(context.get());
        ERR_clear_error();
        if (error == X509_V_ERR_CERT_HAS_EXPIRED || error == X509_V_ERR_CERT_NOT_YET_VALID) {
            package.Fail(kCertificateExpired, L"is signed with a certificate outside its validity period (" +
                                                  VerifyErrorText(error) + L")");
        }
        package.Fail(kUntrustedRoot, L"is signed with a certificate that the store does not trust (" +
                                         VerifyErrorText(error) + L")");
    }
    if ((X509_get_extension_flags(signer) & EXFLAG_XKUSAGE) == 0 ||
        (X509_get_extended_key_usage(signer) & XKU_CODE_SIGN) == 0) {
        package.Fail(kWrongUsage, L"is signed with a certificate that is not for code signing");
    }
    // The platform compares the Publisher with the subject as its CertNameToStr writes it.
    const std::wstring subject = PublisherText(SubjectOf(signer));
    if (publisher != subject) {
        package.Fail(kBadFormat, L"names the publisher \"" + std::wstring(publisher) +
                                     L"\", but its signing certificate's subject is \"" + subject + L"\"");
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(signer, EVP_sha256(), digest, &length) != 1) {
        Throw(kOutOfMemory);
    }
    std::string fingerprint(reinterpret_cast<const char*>(digest), length);
    if (check.signer && *check.signer != fingerprint) {
        package.Fail(kBadFormat, L"is signed with another certificate than its bundle");
    }
    return fingerprint;
}

}  // namespace

TrustedCertificates::TrustedCertificates() : m_store(X509_STORE_new()) {
    if (m_store == nullptr) {
        Throw(kOutOfMemory);
    }
}

TrustedCertificates::~TrustedCertificates() { X509_STORE_free(m_store); }

void TrustedCertificates::Add(std::string_view certificates, const std::wstring& origin) {
    int added = 0;
    const Bio pem = MemoryBio(certificates);
    while (Certificate certificate{PEM_read_bio_X509(pem.get(), nullptr, nullptr, nullptr)}) {
        X509_STORE_add_cert(m_store, certificate.get());
        ++added;
    }
    ERR_clear_error();
    if (added == 0) {
        const auto* next = reinterpret_cast<const unsigned char*>(certificates.data());
        const Certificate certificate(d2i_X509(nullptr, &next, static_cast<long>(certificates.size())));
        ERR_clear_error();
        if (!certificate) {
            Throw(kUntrustedRoot, L"The trusted certificate file " + origin + L" holds no certificate.");
        }
        X509_STORE_add_cert(m_store, certificate.get());
    }
}

std::shared_ptr<const TrustedCertificates> TrustedCertificates::FromFolder(const fs::path& folder) {
    auto trusted = std::make_shared<TrustedCertificates>();
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    if (error) {
        if (error == std::errc::no_such_file_or_directory) {
            return trusted;
        }
        ThrowFileError(error.value(), L"Cannot read the trusted certificates in " + PathText(folder));
    }
    for (const fs::directory_entry& entry : entries) {
        if (!entry.path().filename().string().starts_with('.')) {
            trusted->Add(ReadTrustedFile(entry.path()), PathText(entry.path()));
        }
    }
    return trusted;
}

std::optional<SignedPrefix> VerifySignature(const PackageArchive& package, const fs::path& file,
                                            const std::optional<FileRange>& range, SignedSubject subject,
                                            HashMethod blockMapMethod, std::wstring_view publisher,
                                            const SignatureCheck& check, ArrivingFile* arriving) {
    if (check.requirement == SignatureCheck::Requirement::NotChecked) {
        return std::nullopt;
    }
    const ArchiveEntry* entry = FindFile(package, kSignatureName);
    if (entry == nullptr) {
        if (check.requirement == SignatureCheck::Requirement::WhenPresent) {
            return std::nullopt;
        }
        package.Fail(kNoSignature, L"is not signed (it has no AppxSignature.p7x)");
    }
    SignatureFile signature;
    try {
        signature = ReadSignature(package.ReadWhole(*entry, kSignatureLimit, kMalformedSignature));
    } catch (const PlatformError& error) {
        package.FailWith(error);
    }
    if (signature.subject != subject) {
        package.Fail(kMalformedSignature, subject == SignedSubject::Bundle ? L"has a package's signature, not a bundle's"
                                                                           : L"has a bundle's signature, not a package's");
    }
    if (signature.method != blockMapMethod) {
        package.Fail(kBadDigest, L"has a signature whose digest algorithm is not its block map's hash method");
    }
    const std::uint64_t prefix = CheckDigests(package, file, range, signature, arriving);
    std::string signer = CheckSigner(package, signature, publisher, check);
    return SignedPrefix{prefix, *signature.digests[static_cast<std::size_t>(SignedPart::Package)], std::move(signer)};
}

void CheckSignedPrefix(const PackageArchive& package, const fs::path& file, const std::optional<FileRange>& range,
                       const SignedPrefix& prefix, HashMethod method, ArrivingFile* arriving) {
    const PackageBytes bytes(file, range, arriving);
    Hasher hasher(method);
    bytes.Hash(0, prefix.size, hasher);
    if (hasher.Finish() != prefix.expected) {
        FailDigest(package, static_cast<std::size_t>(SignedPart::Package), true, true);
    }
}

}  // namespace platform::deployment::local
