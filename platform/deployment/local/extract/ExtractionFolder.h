// The folder a package is extracted into: files and folders are created under
// it without ever following a symbolic link or reusing what was already there.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/deployment/local/FileDescriptor.h"

namespace platform::deployment::local {

// Failures raise PlatformError naming the path: 0x80073CF4 disk full,
// 0x80070005 access denied, 0x80004005 anything else.
class ExtractionFolder {
public:
    // Raises 0x80070057 unless `destination` is an existing, empty folder.
    explicit ExtractionFolder(const std::filesystem::path& destination);

    // The folder `relative` (created with its parents as needed) opened; valid
    // until the next call.
    int Folder(std::string_view relative);
    // A new file (never one that exists) for writing.
    FileDescriptor CreateFile(std::string_view name, bool executable);
    void Write(const FileDescriptor& file, std::string_view name, const char* data, std::size_t size);
    // Closes the file: a failed close can be a lost write.
    void Finish(FileDescriptor& file, std::string_view name);

private:
    std::wstring Path(std::string_view relative) const;

    std::filesystem::path m_destination;
    FileDescriptor m_root;
    std::string m_cachedFolder;
    FileDescriptor m_cachedFd;
};

}  // namespace platform::deployment::local
