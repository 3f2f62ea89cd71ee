// Writes package files (ZIP with AppxManifest.xml, [Content_Types].xml and
// AppxBlockMap.xml) and AppInstaller files; can break packages on purpose for tests.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace packaging {

// All texts are UTF-8.
struct Identity {
    std::string name;
    std::string publisher;
    std::string version;  // "a.b.c.d", written as given
    std::string architecture = "neutral";
    std::string resourceId;  // omitted from the manifest when empty
};

struct PayloadFile {
    std::string name;  // '/' separators, relative to the package root
    // The bytes themselves, or a file on disk that is read (twice, streaming)
    // when the package is written.
    std::variant<std::string, std::filesystem::path> content;
    bool executable = false;
};

struct RawEntry {
    std::string name;  // written as is, without percent-encoding
    std::string bytes;
};

// Ways to break a package; all off by default.
struct Faults {
    std::optional<std::string> corruptBlockOf;      // flip a byte of this file's first block after hashing it
    std::optional<std::string> wrongSizeOf;         // block map gives this file's size plus one
    std::optional<std::string> omitFromBlockMap;    // this file is in the ZIP, not in the block map
    std::optional<std::string> blockMapOnlyFile;    // the block map lists this name, the ZIP has no such entry
    std::optional<std::string> duplicateOf;         // a second entry with exactly this file's name
    std::vector<RawEntry> extraEntries;             // added with raw names ("../evil", "/abs", ...)
    std::optional<RawEntry> symlinkEntry;           // a Unix symlink entry: name, target
    std::optional<std::string> manifestOverride;    // these bytes as AppxManifest.xml (payload, hashed)
    std::optional<std::string> blockMapOverride;    // these bytes as AppxBlockMap.xml
    bool omitManifest = false;
    bool omitBlockMap = false;
};

// The manifest written for an identity.
std::string ManifestXml(const Identity& identity);

// Writes a package to `packageFile` (replacing it). Payload names are percent-
// encoded in the ZIP as part names are; raises std::runtime_error on failure.
void WritePackage(const std::filesystem::path& packageFile, const Identity& identity,
                  const std::vector<PayloadFile>& payload, const Faults& faults = {});

// Every regular file under `sourceDir`, named by its relative path, read from disk.
std::vector<PayloadFile> PayloadFromDirectory(const std::filesystem::path& sourceDir);

struct AppInstallerPackage {
    Identity identity;
    std::string uri;
};

struct AppInstallerSpec {
    std::string xmlNamespace = "http://schemas.microsoft.com/appx/appinstaller/2018";
    std::string uri;
    std::string version = "1.0.0.0";
    AppInstallerPackage mainPackage;
    std::vector<AppInstallerPackage> dependencies;
};

std::string AppInstallerXml(const AppInstallerSpec& content);
void WriteAppInstallerFile(const std::filesystem::path& file, const AppInstallerSpec& content);

// Writes `bytes` to `file` (replacing it); raises std::runtime_error if any of
// it fails to reach the file, including on the final flush and close.
void WriteFile(const std::filesystem::path& file, std::string_view bytes);

}  // namespace packaging
