// A ZIP archive being written with libzip: entries under raw names with Unix
// modes, each deflated.
#pragma once

#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <string>

struct zip;
struct zip_source;

namespace packaging {

// Raises std::runtime_error on failure. Buffers handed to libzip live as long
// as the writer; files added are read when it is closed.
class ZipWriter {
public:
    // Creates the file, replacing one that is there.
    explicit ZipWriter(const std::filesystem::path& file);
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    void AddBytes(const std::string& name, std::string bytes, std::uint32_t mode);
    void AddFile(const std::string& name, const std::filesystem::path& path, std::uint32_t mode);
    // A file kept as it is (a package in a bundle, read in place by offset).
    void AddStoredFile(const std::string& name, const std::filesystem::path& path, std::uint32_t mode);
    // Writes the archive; without it nothing is written.
    void Close();

private:
    struct ArchiveDeleter {
        void operator()(zip* archive) const noexcept;
    };

    void Add(const std::string& name, zip_source* source, std::uint32_t mode, bool deflate = true);

    std::filesystem::path m_file;
    std::unique_ptr<zip, ArchiveDeleter> m_archive;
    std::list<std::string> m_buffers;
};

}  // namespace packaging
