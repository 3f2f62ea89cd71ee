// The fuzz targets: each takes any bytes and must survive them, catching only the
// failures its reader is meant to raise. Shared by the libFuzzer executables and
// the regression test that replays the kept inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace fuzz {

// The AppInstaller file reader, then the package URI resolved as the store does.
void FuzzAppInstallerFile(const std::uint8_t* data, std::size_t size);
// The package manifest reader and the names derived from its identity.
void FuzzManifest(const std::uint8_t* data, std::size_t size);
// The bundle manifest reader and the full names of the bundle and its packages.
void FuzzBundleManifest(const std::uint8_t* data, std::size_t size);
// The block map reader, and a package carrying that block map over a fixed
// payload extracted so that every block is checked against it.
void FuzzBlockMap(const std::uint8_t* data, std::size_t size);
// The content types reader, and the type it gives a few part names.
void FuzzContentTypes(const std::uint8_t* data, std::size_t size);
// A package file extracted into an empty folder, and the entry-name checks.
void FuzzPackage(const std::uint8_t* data, std::size_t size);
// The signature file reader (PKCX, PKCS #7, SpcIndirectDataContent, digest blob).
void FuzzSignature(const std::uint8_t* data, std::size_t size);
// The ZIP walker that finds what a signature covers and hashes it, over a
// package file and over a package stored in a bundle.
void FuzzSignedZip(const std::uint8_t* data, std::size_t size);
// The URI class: a text, and after a line feed a reference combined with it.
void FuzzUri(const std::uint8_t* data, std::size_t size);
// The program's entry with the argument vector split from the input at NUL bytes,
// its output discarded and the deployment service refusing activation.
void FuzzCommandLine(const std::uint8_t* data, std::size_t size);

struct Target {
    const char* name;  // its folder under fuzz/corpus and fuzz/regressions
    void (*function)(const std::uint8_t*, std::size_t);
};

std::span<const Target> Targets();

}  // namespace fuzz
