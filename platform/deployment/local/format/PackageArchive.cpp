#include "platform/deployment/local/format/PackageArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstdint>

#include <algorithm>

#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/FileError.h"
#include "platform/deployment/local/format/CaseFolding.h"
#include "platform/deployment/local/format/FoldedNames.h"
#include "platform/deployment/local/format/PartNames.h"

namespace platform::deployment::local {
namespace {

std::wstring ZipErrorText(int code) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::wstring text = FromUtf8Lossy(zip_error_strerror(&error));
    zip_error_fini(&error);
    return text;
}

// The packaging library's code for what libzip found: no end record, or local
// headers that the directory contradicts; 0x80073CF0 for anything else.
hresult OpenFailureCode(int error) {
    switch (error) {
        case ZIP_ER_NOZIP:
            return kZipNoEndRecord;
        case ZIP_ER_INCONS:
            return kZipInconsistentItem;
        default:
            return kCannotOpenPackage;
    }
}

// libzip reads a source over part of a file as it reads a whole file; a
// length of 0 would mean "to the end", and no ZIP is that short anyway.
zip* OpenRange(const std::filesystem::path& file, const FileRange& range, int& error) {
    constexpr std::uint64_t kSmallestZip = 22;
    if (range.size < kSmallestZip || range.size > static_cast<std::uint64_t>(INT64_MAX)) {
        error = ZIP_ER_NOZIP;
        return nullptr;
    }
    zip_error_t zipError;
    zip_error_init(&zipError);
    zip_source_t* source =
        zip_source_file_create(file.c_str(), range.offset, static_cast<zip_int64_t>(range.size), &zipError);
    zip* archive = source != nullptr ? zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &zipError) : nullptr;
    if (archive == nullptr) {
        zip_source_free(source);
        error = zip_error_code_zip(&zipError);
    }
    zip_error_fini(&zipError);
    return archive;
}

// Reads a file that is still arriving, waiting for each read's bytes; libzip
// asks for nothing but reads and seeks of an archive opened read-only.
class ArrivingSource {
public:
    ArrivingSource(const std::filesystem::path& file, ArrivingFile& arriving) : m_arriving(arriving) {
        m_fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        zip_error_init(&m_error);
    }
    ~ArrivingSource() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        zip_error_fini(&m_error);
    }
    ArrivingSource(const ArrivingSource&) = delete;
    ArrivingSource& operator=(const ArrivingSource&) = delete;

    // Takes ownership of the source; nullptr (with `error` set) when it cannot be made.
    static zip_source_t* Create(const std::filesystem::path& file, ArrivingFile& arriving, zip_error_t* error) {
        auto* source = new ArrivingSource(file, arriving);
        if (source->m_fd < 0) {
            zip_error_set(error, ZIP_ER_OPEN, errno);
            delete source;
            return nullptr;
        }
        zip_source_t* created = zip_source_function_create(&ArrivingSource::Callback, source, error);
        if (created == nullptr) {
            delete source;
        }
        return created;
    }

private:
    static zip_int64_t Callback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
        auto& self = *static_cast<ArrivingSource*>(state);
        switch (command) {
            case ZIP_SOURCE_OPEN:
                self.m_position = 0;
                return 0;
            case ZIP_SOURCE_READ:
                return self.Read(static_cast<char*>(data), length);
            case ZIP_SOURCE_CLOSE:
                return 0;
            case ZIP_SOURCE_STAT: {
                auto* stat = static_cast<zip_stat_t*>(data);
                zip_stat_init(stat);
                stat->size = self.m_arriving.Size();
                stat->valid |= ZIP_STAT_SIZE;
                return sizeof(zip_stat_t);
            }
            case ZIP_SOURCE_ERROR:
                return zip_error_to_data(&self.m_error, data, length);
            case ZIP_SOURCE_FREE:
                delete &self;
                return 0;
            case ZIP_SOURCE_SEEK: {
                const zip_int64_t position = zip_source_seek_compute_offset(
                    self.m_position, self.m_arriving.Size(), data, length, &self.m_error);
                if (position < 0) {
                    return -1;
                }
                self.m_position = static_cast<std::uint64_t>(position);
                return 0;
            }
            case ZIP_SOURCE_TELL:
                return static_cast<zip_int64_t>(self.m_position);
            case ZIP_SOURCE_SUPPORTS:
                return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                                      ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                                      ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS, -1);
            default:
                zip_error_set(&self.m_error, ZIP_ER_OPNOTSUPP, 0);
                return -1;
        }
    }

    zip_int64_t Read(char* buffer, std::uint64_t length) {
        const std::uint64_t size = m_arriving.Size();
        length = std::min({length, size - std::min(m_position, size), static_cast<std::uint64_t>(INT64_MAX)});
        if (length == 0) {
            return 0;
        }
        if (!m_arriving.WaitFor(m_position, length)) {
            zip_error_set(&m_error, ZIP_ER_READ, EIO);
            return -1;
        }
        std::uint64_t done = 0;
        while (done < length) {
            const ssize_t n = ::pread(m_fd, buffer + done, length - done, static_cast<off_t>(m_position + done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                zip_error_set(&m_error, ZIP_ER_READ, n < 0 ? errno : EIO);
                return -1;
            }
            done += static_cast<std::uint64_t>(n);
        }
        m_position += length;
        return static_cast<zip_int64_t>(length);
    }

    ArrivingFile& m_arriving;
    int m_fd = -1;
    std::uint64_t m_position = 0;
    zip_error_t m_error;
};

zip* OpenArriving(const std::filesystem::path& file, ArrivingFile& arriving, int flags, int& error) {
    zip_error_t zipError;
    zip_error_init(&zipError);
    zip_source_t* source = ArrivingSource::Create(file, arriving, &zipError);
    zip* archive = source != nullptr ? zip_open_from_source(source, flags, &zipError) : nullptr;
    if (archive == nullptr) {
        zip_source_free(source);
        error = zip_error_code_zip(&zipError);
    }
    zip_error_fini(&zipError);
    return archive;
}

}  // namespace

void PackageArchive::ArchiveDeleter::operator()(zip* archive) const noexcept { zip_discard(archive); }

void PackageArchive::EntryReaderDeleter::operator()(zip_file* file) const noexcept { zip_fclose(file); }

PackageArchive::PackageArchive(const std::filesystem::path& file, std::wstring displayName,
                               const std::optional<FileRange>& range)
    : m_fileText(displayName.empty() ? PathText(file) : std::move(displayName)) {
    int error = 0;
    if (range) {
        m_archive.reset(OpenRange(file, *range, error));
    } else {
        m_archive.reset(zip_open(file.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error));
    }
    Opened(error);
}

// Comparing every local header with the directory would wait for nearly the
// whole download before the first check: that waits for CheckLocalHeaders.
PackageArchive::PackageArchive(const std::filesystem::path& file, ArrivingFile& arriving, std::wstring displayName)
    : m_fileText(displayName.empty() ? PathText(file) : std::move(displayName)), m_file(file), m_arriving(&arriving) {
    int error = 0;
    m_archive.reset(OpenArriving(file, arriving, ZIP_RDONLY, error));
    Opened(error);
}

void PackageArchive::CheckLocalHeaders() const {
    if (m_arriving == nullptr) {
        return;
    }
    int error = 0;
    const std::unique_ptr<zip, ArchiveDeleter> checked(OpenArriving(m_file, *m_arriving, ZIP_RDONLY | ZIP_CHECKCONS, error));
    if (!checked) {
        Fail(OpenFailureCode(error), L"cannot be opened as a ZIP file (" + ZipErrorText(error) + L")");
    }
}

void PackageArchive::Opened(int error) {
    if (!m_archive) {
        // libzip refuses a central directory that names an entry twice.
        if (error == ZIP_ER_EXISTS) {
            Fail(kCorruptPackage, L"holds two entries of the same name");
        }
        Fail(OpenFailureCode(error), L"cannot be opened as a ZIP file (" + ZipErrorText(error) + L")");
    }
    ReadEntries();
}

PackageArchive::~PackageArchive() = default;

void PackageArchive::Fail(hresult code, const std::wstring& fault) const {
    Throw(code, L"The package \"" + m_fileText + L"\" " + fault + L".");
}

void PackageArchive::FailWith(const PlatformError& error) const {
    std::wstring text = L"The package \"" + m_fileText + L"\" is not valid.";
    if (error.Info() && error.Info()->restrictedDescription) {
        text += L' ' + *error.Info()->restrictedDescription;
    }
    Throw(error.Code(), std::move(text));
}

std::wstring PackageArchive::Quoted(std::string_view name) { return L"\"" + FromUtf8Lossy(name) + L"\""; }

const ArchiveEntry& PackageArchive::Required(std::string_view name) const {
    // Only a few footprint files are looked up by name: no index is kept for them.
    const auto found = std::find_if(m_entries.begin(), m_entries.end(),
                                    [&](const ArchiveEntry& entry) { return !entry.directory && entry.name == name; });
    if (found == m_entries.end()) {
        Fail(kMissingFootprintFile, L"has no " + FromUtf8Lossy(name));
    }
    return *found;
}

void PackageArchive::ReadInPieces(const ArchiveEntry& entry, std::uint64_t limit, hresult tooLargeCode,
                                  const std::function<void(std::string_view)>& sink) const {
    const auto tooLarge = [&] {
        Fail(tooLargeCode, L"has a " + Quoted(entry.name) + L" larger than " + std::to_wstring(limit) + L" bytes");
    };
    if (entry.size > limit) {
        tooLarge();
    }
    const EntryReader reader = Open(entry);
    std::uint64_t total = 0;
    char buffer[16384];
    for (;;) {
        const zip_int64_t read = zip_fread(reader.get(), buffer, sizeof buffer);
        if (read < 0) {
            Fail(kCorruptPackage, L"has an entry " + Quoted(entry.name) + L" that cannot be read (" +
                                      FromUtf8Lossy(zip_file_strerror(reader.get())) + L")");
        }
        if (read == 0) {
            break;
        }
        total += static_cast<std::uint64_t>(read);
        if (total > limit) {
            tooLarge();
        }
        sink(std::string_view(buffer, static_cast<std::size_t>(read)));
    }
}

std::string PackageArchive::ReadWhole(const ArchiveEntry& entry, std::uint64_t limit, hresult tooLargeCode) const {
    std::string bytes;
    bytes.reserve(std::min(entry.size, limit));  // the size is the archive's claim
    ReadInPieces(entry, limit, tooLargeCode, [&](std::string_view piece) { bytes.append(piece); });
    return bytes;
}

PackageArchive::EntryReader PackageArchive::Open(const ArchiveEntry& entry) const { return OpenWith(entry, 0); }

PackageArchive::EntryReader PackageArchive::OpenWith(const ArchiveEntry& entry, unsigned flags) const {
    EntryReader reader(zip_fopen_index(m_archive.get(), entry.index, flags));
    if (!reader) {
        Fail(kCorruptPackage, L"has an entry " + Quoted(entry.name) + L" that cannot be read (" +
                                  FromUtf8Lossy(zip_strerror(m_archive.get())) + L")");
    }
    return reader;
}

PackageArchive::EntryReader PackageArchive::OpenRaw(const ArchiveEntry& entry) const {
    return OpenWith(entry, ZIP_FL_COMPRESSED);
}

std::optional<std::uint32_t> PackageArchive::Crc(const ArchiveEntry& entry) const {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(m_archive.get(), entry.index, 0, &stat) != 0 || (stat.valid & ZIP_STAT_CRC) == 0) {
        return std::nullopt;
    }
    return stat.crc;
}

std::size_t PackageArchive::Read(const EntryReader& reader, const ArchiveEntry& entry, char* buffer,
                                 std::size_t size) const {
    std::size_t filled = 0;
    while (filled < size) {
        const zip_int64_t read = zip_fread(reader.get(), buffer + filled, size - filled);
        if (read < 0) {
            Fail(kCorruptPackage, L"has a file " + Quoted(entry.name) + L" whose data cannot be read (" +
                                      FromUtf8Lossy(zip_file_strerror(reader.get())) + L")");
        }
        if (read == 0) {
            break;
        }
        filled += static_cast<std::size_t>(read);
    }
    return filled;
}

void PackageArchive::ReadEntries() {
    const zip_int64_t count = zip_get_num_entries(m_archive.get(), 0);
    if (count < 0) {
        Fail(kCannotOpenPackage, L"cannot be opened as a ZIP file");
    }
    // libzip holds the directory already: as many records again are no risk.
    m_entries.reserve(static_cast<std::size_t>(count));
    for (zip_uint64_t index = 0; index < static_cast<zip_uint64_t>(count); ++index) {
        m_entries.push_back(ReadEntry(index));
    }
    CheckNamesApart();
}

void PackageArchive::CheckNamesApart() const {
    const FoldedNames folded(m_entries.size(), [this](std::size_t index) { return m_entries[index].name; });
    if (const auto repeat = folded.FirstRepeat()) {
        Fail(kCorruptPackage, L"holds more than one entry named " + Quoted(m_entries[*repeat].name) +
                                  L" (names that differ only in case count as the same)");
    }
    // A file may not also be a folder on another entry's path.
    for (const ArchiveEntry& entry : m_entries) {
        const std::string name = FoldCase(entry.name);
        for (auto slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
            const auto clash = folded.Find(std::string_view(name).substr(0, slash));
            if (clash && !m_entries[*clash].directory) {
                Fail(kCorruptPackage, L"holds a file " + Quoted(m_entries[*clash].name) +
                                          L" that is also a folder on the path of " + Quoted(entry.name));
            }
        }
    }
}

ArchiveEntry PackageArchive::ReadEntry(std::uint64_t index) {
    ArchiveEntry entry;
    entry.index = index;
    const char* rawName = zip_get_name(m_archive.get(), index, ZIP_FL_ENC_RAW);
    if (rawName == nullptr) {
        Fail(kCorruptPackage, L"has an entry without a name");
    }
    const std::string_view raw = rawName;
    const auto decoded = DecodePartName(raw);
    if (!decoded || !FromUtf8(*decoded)) {
        Fail(kCorruptPackage, L"has an entry " + Quoted(raw) + L" whose name is not a valid part name");
    }
    std::string_view name = *decoded;
    if (!name.empty() && name.back() == '/') {
        entry.directory = true;
        name.remove_suffix(1);
    }
    entry.name = m_names.Add(name);
    if (!IsSafeEntryName(entry.name)) {
        Fail(kCorruptPackage, L"has an entry " + Quoted(raw) + L" whose path is not a safe relative path");
    }
    // The packaging library takes such a name for no part at all, so the block
    // map lists a file that the package lacks.
    if (HasReservedSegment(entry.name)) {
        Fail(kInvalidBlockMap, L"has an entry " + Quoted(raw) +
                                  L" whose path has a device name or a name ending in a dot or a space");
    }
    if (IsRelationshipPart(entry.name)) {
        Fail(kRelationshipsNotAllowed, L"has an entry " + Quoted(raw) + L" in a folder of relationship parts");
    }

    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(m_archive.get(), index, 0, &system, &attributes) == 0 &&
        system == ZIP_OPSYS_UNIX) {
        const auto mode = static_cast<mode_t>(attributes >> 16);
        const mode_t type = mode & S_IFMT;
        if (type != 0 && type != S_IFREG && type != S_IFDIR) {
            Fail(kCorruptPackage, L"has an entry " + Quoted(raw) + L" that is a symbolic link or a device");
        }
        entry.directory = entry.directory || type == S_IFDIR;
        entry.executable = (mode & 0111) != 0;
    }

    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(m_archive.get(), index, 0, &stat) != 0 || (stat.valid & ZIP_STAT_SIZE) == 0) {
        Fail(kCorruptPackage, L"has an entry " + Quoted(raw) + L" whose size cannot be read");
    }
    if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && stat.encryption_method != ZIP_EM_NONE) {
        Fail(kCorruptPackage, L"has an encrypted entry " + Quoted(raw));
    }
    // The packer writes nothing else, and the platform reads nothing else.
    if ((stat.valid & ZIP_STAT_COMP_METHOD) == 0 ||
        (stat.comp_method != ZIP_CM_STORE && stat.comp_method != ZIP_CM_DEFLATE)) {
        Fail(kZipUnsupported, L"has an entry " + Quoted(raw) + L" compressed with an unsupported method");
    }
    entry.size = stat.size;
    entry.deflated = stat.comp_method == ZIP_CM_DEFLATE;
    entry.compressedSize = (stat.valid & ZIP_STAT_COMP_SIZE) != 0 ? stat.comp_size : 0;
    if (entry.directory && entry.size != 0) {
        Fail(kCorruptPackage, L"has a folder entry " + Quoted(raw) + L" with data");
    }
    return entry;
}

}  // namespace platform::deployment::local
