// A bundle file opened for installing packages from it: its entries and block
// map checked, its manifest read, and each package it carries read where it
// is stored.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/deployment/local/extract/ExtractPackage.h"
#include "platform/deployment/local/format/BundleManifest.h"

namespace platform::deployment::local {

class BundleFile {
public:
    // Raises what PackageArchive raises, 0x80080203 without a bundle manifest
    // or block map or for a package not at the offset the manifest gives,
    // 0x80080204 for an invalid bundle manifest or a package of another size,
    // 0x80080205 for a block map that does not list every entry but the
    // packages with its size, 0x80080206 for a compressed package, 0x80511007
    // for a data descriptor that disagrees with the directory; then the
    // bundle's signature as `signature` asks (see VerifySignature), which
    // covers the packages it stores: a package's own signature is checked when
    // it has one.
    BundleFile(std::filesystem::path file, std::wstring displayName, SignatureCheck signature);
    ~BundleFile();
    BundleFile(const BundleFile&) = delete;
    BundleFile& operator=(const BundleFile&) = delete;

    const BundleManifest& Manifest() const noexcept { return m_manifest; }
    // The signing certificate's SHA-256 fingerprint, once checked: a flat
    // bundle's packages, beside it, must be signed with the same.
    const std::optional<std::string>& Signer() const noexcept { return m_signer; }

    // The bundle's own folder: its manifest.
    void WriteFolder(const std::filesystem::path& destination) const;

    // Extracts a package the bundle stores from where it is, as ExtractPackage
    // does, and returns its identity; where the bundle's block map lists it,
    // first checks it block by block against that (0x80080207, or 0x80080206
    // when the range is not within the file).
    PackageIdentity Extract(const BundledPackage& package, const std::filesystem::path& destination,
                            ExtractOptions options) const;

private:
    void VerifyStored(const BundledPackage& package) const;

    struct Checked;
    std::filesystem::path m_file;
    std::wstring m_displayName;
    SignatureCheck m_signature;
    std::string m_manifestXml;
    BundleManifest m_manifest;
    std::unique_ptr<Checked> m_checked;
    std::optional<std::string> m_signer;
};

}  // namespace platform::deployment::local
