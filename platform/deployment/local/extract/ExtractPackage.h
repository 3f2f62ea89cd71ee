// Extracts a package file's payload into a folder, verifying every block
// against the block map on the way; or reads just its identity.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <vector>

#include "platform/deployment/local/extract/PackageSignature.h"
#include "platform/deployment/local/format/BlockMap.h"
#include "platform/deployment/local/format/Manifest.h"
#include "platform/deployment/local/format/Names.h"
#include "platform/deployment/local/format/PackageArchive.h"

namespace platform::deployment::local {

struct ExtractOptions {
    // Uncompressed payload bytes written so far and in all; called between blocks.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
    // Polled between blocks; true stops the extraction with 0x800704C7.
    std::function<bool()> cancelled;
    // How failure texts name the package (a download by its URI); its path when empty.
    std::wstring displayName;
    // The package is this part of the file (one stored in a bundle).
    std::optional<FileRange> range;
    // Where the manifest's package dependencies go, when set.
    std::vector<PackageDependency>* dependencies = nullptr;
    // Free space the extraction leaves untouched (0x80073CF4 before it would
    // eat into it, including when the block map's sizes do not fit).
    std::uint64_t diskReserve = 0;
    // Inflates each file as one stream on one thread, as for a package whose
    // blocks were not deflated apart.
    bool sequential = false;
    // Called with the manifest's identity as soon as the manifest has been
    // read, before the block map and any payload; what it raises ends the
    // extraction. A wrong package is refused having read little of it.
    std::function<void(const PackageIdentity&)> checkIdentity;
    // The package file is still arriving: reads wait for their bytes, and the
    // entries' local headers are checked once the payload is out.
    ArrivingFile* arriving = nullptr;
    // Required by default, trusting no one: a caller that forgets to say whom
    // it trusts installs nothing.
    SignatureCheck signature;
    // The folder of an installed version of the package: blocks of the same
    // hash and size are read from its files (and checked like any other), and
    // of a package still `arriving` only the other blocks are fetched. Its
    // local headers and the signature's digest of the package file as a whole
    // are then checked only where they were fetched.
    std::optional<std::filesystem::path> reuseFrom;
};

// Checks every entry's path and the content types, reads the manifest and the
// block map, checks the signature as `options.signature` asks, extracts every payload file under `destination` (an existing,
// empty folder) verifying sizes, block hashes and file hashes as it streams,
// keeps the footprint files beside them (block map, signature, code integrity
// catalog; not [Content_Types].xml), flushes files and folders to disk, and
// returns the manifest's identity.
// Memory use does not grow with the package's size. Blocks are inflated and
// hashed on a thread per core when each was deflated on its own, otherwise on
// a second thread; either way a package is refused alike. `options` are
// called on the caller's thread only. Raises, with
// a text naming the package and the fault:
//   0x8051100F no ZIP end record; 0x80511005 a local header that its
//              directory record contradicts; 0x80511007 a data descriptor
//              that is missing or disagrees with its directory record;
//              0x80511008 a compression other than stored and deflate;
//              0x80510007 no [Content_Types].xml; 0x80073CF0 otherwise not a
//              readable ZIP;
//   0x80080202 an entry in a folder of relationship parts (_rels);
//   0x80080203 AppxBlockMap.xml missing, or a code integrity catalog without
//              AppxSignature.p7x;
//   0x80080204 invalid manifest;
//   0x80080205 invalid block map, AppxManifest.xml or a payload file missing
//              from it or a listed file missing from the package, a part
//              without a content type or with a device name, or a size or a
//              deflated file's compressed size that does not match;
//   0x80080206 an unsafe or repeated entry path, a symlink or device entry, an
//              encrypted entry, an invalid [Content_Types].xml, unreadable
//              data, or a deflated file whose block map LfhSize is not its
//              local header's size (a stored one: 0x80080207);
//   0x80080207 a block or a whole file whose hash does not match;
//   the signature's codes (see VerifySignature);
//   0x800704C7 cancelled; 0x80073CF4 disk full; 0x80070057 destination not an
//              empty folder; other I/O failures as 0x80004005.
// On failure the caller deletes `destination`.
PackageIdentity ExtractPackage(const std::filesystem::path& packageFile, const std::filesystem::path& destination,
                               const ExtractOptions& options = {});

// Just the manifest's identity, without extracting; the entries' paths and the
// content types are checked all the same (the ZIP codes, 0x80080202,
// 0x80080204, 0x80080205 or 0x80080206 as above).
PackageIdentity ReadPackageIdentity(const std::filesystem::path& packageFile);

// The block map of an opened package (a bundle), its content types and every
// entry but the footprint files checked against it without reading any data:
// 0x80080202, 0x80080203, 0x80080205 and 0x80080206 as above. Entries that
// `mayGoUnlisted` names need not be listed.
BlockMapDocument ReadMatchedBlockMap(const PackageArchive& package,
                                     const std::function<bool(std::string_view name)>& mayGoUnlisted = {});

}  // namespace platform::deployment::local
