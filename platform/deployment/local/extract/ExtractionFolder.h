// The folder a package is extracted into: files and folders are created under
// it without ever following a symbolic link or reusing what was already there.
#pragma once

#include <cstddef>
#include <cstdint>
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
    // Writing never eats into the last `diskReserve` bytes of free space.
    explicit ExtractionFolder(const std::filesystem::path& destination, std::uint64_t diskReserve = 0);

    // Raises 0x80073CF4 unless `bytes` more fit beside the reserve.
    void Reserve(std::uint64_t bytes);

    // The folder `relative` (created with its parents as needed) opened; valid
    // until the next call.
    int Folder(std::string_view relative);
    // A new file (never one that exists) for writing.
    FileDescriptor CreateFile(std::string_view name, bool executable);
    void Write(const FileDescriptor& file, std::string_view name, const char* data, std::size_t size);
    // Empties a file being written, to write it again from its start.
    void Rewind(const FileDescriptor& file, std::string_view name);
    // Starts writing the file to disk and closes it: a failed close can be a
    // lost write.
    void Finish(FileDescriptor& file, std::string_view name);
    // Waits until every file and folder made is on disk: one flush of the
    // whole file system, which costs less than one per file and folder, while
    // the files have been on their way to the disk since they were written.
    void Flush();

private:
    std::wstring Path(std::string_view relative) const;
    void StartWriteback(const FileDescriptor& file);

    std::filesystem::path m_destination;
    std::uint64_t m_diskReserve;
    std::uint64_t m_unchecked = 0;
    std::uint64_t m_unsent = 0;  // written since writeback was last started
    FileDescriptor m_root;
    std::string m_cachedFolder;
    FileDescriptor m_cachedFd;
};

}  // namespace platform::deployment::local
