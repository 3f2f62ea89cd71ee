// A bundle file opened for installing packages from it: its entries and block
// map checked, its manifest read, and each package it carries read where it
// is stored.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/deployment/local/extract/ExtractPackage.h"
#include "platform/deployment/local/format/BundleManifest.h"

namespace platform::deployment::local {

class BundleFile {
public:
    // Raises what PackageArchive raises, 0x80080203 without a bundle manifest
    // or block map, 0x80080204 for an invalid bundle manifest, 0x80080205 for a
    // block map that does not list every entry with its size, and 0x80080206
    // for a listed package that is not one of the bundle's entries; then the
    // bundle's signature as `signature` asks (see VerifySignature), which
    // covers its packages: a package's own signature is checked when it has one.
    BundleFile(std::filesystem::path file, std::wstring displayName, SignatureCheck signature);
    ~BundleFile();
    BundleFile(const BundleFile&) = delete;
    BundleFile& operator=(const BundleFile&) = delete;

    const BundleManifest& Manifest() const noexcept { return m_manifest; }

    // The bundle's own folder: its manifest.
    void WriteFolder(const std::filesystem::path& destination) const;

    // Checks that the package's range holds its entry's data, block by block
    // as the bundle's block map hashes it (0x80080207, or 0x80080206 when the
    // range is not within the file), then extracts it from there as
    // ExtractPackage does and returns its identity.
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
};

}  // namespace platform::deployment::local
