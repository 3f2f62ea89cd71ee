// A package file opened as a ZIP archive, every entry's name, type, size and
// compression checked before anything is read from it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Error.h"
#include "platform/deployment/local/format/NameArena.h"

struct zip;
struct zip_file;

namespace platform::deployment::local {

struct ArchiveEntry {
    std::uint64_t index = 0;
    std::string_view name;  // decoded part name, UTF-8, kept by the archive
    std::uint64_t size = 0;
    std::uint64_t compressedSize = 0;
    bool deflated = false;
    bool directory = false;
    bool executable = false;
};

// A part of a file: a package stored in a bundle.
struct FileRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// A package file whose bytes are still arriving (a download): reads of the
// archive wait for the bytes they need.
class ArrivingFile {
public:
    virtual ~ArrivingFile() = default;
    // The file's size once complete.
    virtual std::uint64_t Size() const = 0;
    // Blocks until `size` bytes from `offset` are in the file; false when they
    // never will be (the download failed or was stopped).
    virtual bool WaitFor(std::uint64_t offset, std::uint64_t size) = 0;
    // No read waits any longer: the archive is given up.
    virtual void Stop() = 0;
    // Asks for just these parts of the file, [first, end) each, fetched in
    // this order, instead of all of it; a read of other bytes then fetches
    // what it waits for. False when the file is not had in parts (it is
    // complete, or all of it is on its way).
    virtual bool FetchParts(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& parts) {
        static_cast<void>(parts);
        return false;
    }
};

class PackageArchive {
public:
    struct EntryReaderDeleter {
        void operator()(zip_file* file) const noexcept;
    };
    using EntryReader = std::unique_ptr<zip_file, EntryReaderDeleter>;

    // `displayName` names the package in failure texts (its path when empty).
    // Raises 0x8051100F for a file without a ZIP end record, 0x80511005 for
    // local headers that the directory contradicts, 0x80073CF0 for a file that
    // is otherwise not a readable ZIP, 0x80080206 for an unsafe, undecodable
    // or repeated entry name (also one that differs only in ASCII case, or a
    // file that is also a folder on another entry's path), a symbolic link or
    // device, an encrypted entry or a folder entry with data; 0x80080205 for a
    // device name or a name ending in a dot or space, 0x80511008 for a
    // compression method other than stored and deflate, 0x80080202 for an
    // entry in a folder of relationship parts. With a `range` the package is that part of
    // the file, read in place.
    explicit PackageArchive(const std::filesystem::path& file, std::wstring displayName = {},
                            const std::optional<FileRange>& range = std::nullopt);
    // Reads the file as its bytes arrive. Opening it reads only the directory;
    // the local headers are compared with it by CheckLocalHeaders.
    PackageArchive(const std::filesystem::path& file, ArrivingFile& arriving, std::wstring displayName = {});
    ~PackageArchive();
    PackageArchive(const PackageArchive&) = delete;
    PackageArchive& operator=(const PackageArchive&) = delete;

    // Raises `code` with "The package "<name>" <fault>.".
    [[noreturn]] void Fail(hresult code, const std::wstring& fault) const;
    // Raises a reader's failure again with the package named in front of its text.
    [[noreturn]] void FailWith(const PlatformError& error) const;
    // An entry name in quotes, for failure texts.
    static std::wstring Quoted(std::string_view name);

    const std::vector<ArchiveEntry>& Entries() const noexcept { return m_entries; }
    // The file entry of that name; 0x80080203 when there is none.
    const ArchiveEntry& Required(std::string_view name) const;

    // Reads an entry in pieces, each handed to `sink`, refusing it (with
    // `tooLargeCode`) beyond `limit` bytes; 0x80080206 for unreadable data.
    void ReadInPieces(const ArchiveEntry& entry, std::uint64_t limit, hresult tooLargeCode,
                      const std::function<void(std::string_view)>& sink) const;
    // The whole of a small entry (the manifest), refused beyond `limit`.
    std::string ReadWhole(const ArchiveEntry& entry, std::uint64_t limit, hresult tooLargeCode) const;

    // For an archive opened as it arrives: raises 0x80511005 when an entry's
    // local header does not match the directory, as opening a complete file
    // does. Waits for every local header.
    void CheckLocalHeaders() const;

    // Opens an entry for reading its data in order.
    EntryReader Open(const ArchiveEntry& entry) const;
    // Opens an entry for reading its bytes as the archive holds them, deflated
    // or stored; nothing checks them against its CRC-32.
    EntryReader OpenRaw(const ArchiveEntry& entry) const;
    // The CRC-32 that the archive records for an entry's data, when it does.
    std::optional<std::uint32_t> Crc(const ArchiveEntry& entry) const;
    // Fills `buffer` with up to `size` bytes of the entry; fewer only at its end.
    std::size_t Read(const EntryReader& reader, const ArchiveEntry& entry, char* buffer, std::size_t size) const;

private:
    struct ArchiveDeleter {
        void operator()(zip* archive) const noexcept;
    };

    void Opened(int error);
    void ReadEntries();
    EntryReader OpenWith(const ArchiveEntry& entry, unsigned flags) const;
    ArchiveEntry ReadEntry(std::uint64_t index);
    void CheckNamesApart() const;

    std::wstring m_fileText;
    std::filesystem::path m_file;
    ArrivingFile* m_arriving = nullptr;
    std::unique_ptr<zip, ArchiveDeleter> m_archive;
    // Packages may hold hundreds of thousands of entries: their names are
    // kept in one arena, and nothing else is kept per entry.
    NameArena m_names;
    std::vector<ArchiveEntry> m_entries;
};

}  // namespace platform::deployment::local
