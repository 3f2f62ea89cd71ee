#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/PackageReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/Error.h"
#include "platform/deployment/local/BlockMap.h"
#include "platform/deployment/local/Encoding.h"
#include "platform/deployment/local/FileDescriptor.h"
#include "platform/deployment/local/FileError.h"
#include "platform/deployment/local/Hash.h"
#include "platform/deployment/local/Manifest.h"

namespace platform::deployment::local {

namespace {


constexpr std::string_view kManifestName = "AppxManifest.xml";
constexpr std::string_view kBlockMapName = "AppxBlockMap.xml";
constexpr std::string_view kContentTypesName = "[Content_Types].xml";
constexpr std::string_view kSignatureName = "AppxSignature.p7x";

// Far above what real packages carry; they keep a hostile package from
// making us hold an unbounded document in memory. A block map is not held,
// but its hashes are: at most about half its size (some 50 GiB of payload).
constexpr std::uint64_t kManifestLimit = 8 * 1024 * 1024;
constexpr std::uint64_t kBlockMapLimit = 64 * 1024 * 1024;

constexpr std::size_t kMaxSegmentLength = 255;
constexpr std::size_t kMaxNameLength = 4095;

bool IsFootprintFile(std::string_view name) {
    return name == kBlockMapName || name == kContentTypesName || name == kSignatureName;
}

struct ZipDeleter {
    void operator()(zip_t* archive) const noexcept { zip_discard(archive); }
};
struct ZipFileDeleter {
    void operator()(zip_file_t* file) const noexcept { zip_fclose(file); }
};
using ZipHandle = std::unique_ptr<zip_t, ZipDeleter>;
using ZipFileHandle = std::unique_ptr<zip_file_t, ZipFileDeleter>;

struct Entry {
    zip_uint64_t index = 0;
    std::string name;  // decoded part name, UTF-8
    std::uint64_t size = 0;
    bool directory = false;
    bool executable = false;
};

// One package file opened for reading, with every entry checked.
class Package {
public:
    explicit Package(const std::filesystem::path& file, std::wstring displayName = {})
        : m_fileText(displayName.empty() ? PathText(file) : std::move(displayName)) {
        int error = 0;
        m_archive.reset(zip_open(file.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error));
        if (!m_archive) {
            // libzip refuses a central directory that names an entry twice.
            Fail(error == ZIP_ER_EXISTS ? kCorruptPackage : kCannotOpenPackage,
                 error == ZIP_ER_EXISTS ? L"holds two entries of the same name"
                                        : L"cannot be opened as a ZIP file (" + ZipErrorText(error) + L")");
        }
        ReadEntries();
    }

    [[noreturn]] void Fail(hresult code, const std::wstring& fault) const {
        Throw(code, L"The package \"" + m_fileText + L"\" " + fault + L".");
    }

    // Raises a reader's failure again with the package named in front of its text.
    [[noreturn]] void FailWith(const PlatformError& error) const {
        std::wstring text = L"The package \"" + m_fileText + L"\" is not valid.";
        if (error.Info() && error.Info()->restrictedDescription) {
            text += L' ' + *error.Info()->restrictedDescription;
        }
        Throw(error.Code(), std::move(text));
    }

    static std::wstring Quoted(std::string_view name) { return L"\"" + FromUtf8Lossy(name) + L"\""; }

    const std::vector<Entry>& Entries() const noexcept { return m_entries; }

    const Entry& Required(std::string_view name) const {
        const auto found = m_byName.find(std::string(name));
        if (found == m_byName.end() || m_entries[found->second].directory) {
            Fail(kMissingFootprintFile, L"has no " + FromUtf8Lossy(name));
        }
        return m_entries[found->second];
    }

    // Reads an entry in pieces, each handed to `sink`, refusing it beyond `limit`.
    template <typename Sink>
    void ReadInPieces(const Entry& entry, std::uint64_t limit, hresult tooLargeCode, Sink&& sink) const {
        if (entry.size > limit) {
            Fail(tooLargeCode, L"has a " + Quoted(entry.name) + L" larger than " + std::to_wstring(limit) + L" bytes");
        }
        ZipFileHandle file = Open(entry);
        std::uint64_t total = 0;
        char buffer[16384];
        for (;;) {
            const zip_int64_t read = zip_fread(file.get(), buffer, sizeof buffer);
            if (read < 0) {
                Fail(kCorruptPackage,
                     L"has an entry " + Quoted(entry.name) + L" that cannot be read (" +
                         FromUtf8Lossy(zip_file_strerror(file.get())) + L")");
            }
            if (read == 0) {
                break;
            }
            total += static_cast<std::uint64_t>(read);
            if (total > limit) {
                Fail(tooLargeCode,
                     L"has a " + Quoted(entry.name) + L" larger than " + std::to_wstring(limit) + L" bytes");
            }
            sink(std::string_view(buffer, static_cast<std::size_t>(read)));
        }
    }

    // The whole of a small entry (the manifest), refusing one larger than `limit`.
    std::string ReadWhole(const Entry& entry, std::uint64_t limit, hresult tooLargeCode) const {
        std::string bytes;
        bytes.reserve(std::min(entry.size, limit));  // the size is the archive's claim
        ReadInPieces(entry, limit, tooLargeCode, [&](std::string_view piece) { bytes.append(piece); });
        return bytes;
    }

    ZipFileHandle Open(const Entry& entry) const {
        ZipFileHandle file(zip_fopen_index(m_archive.get(), entry.index, 0));
        if (!file) {
            Fail(kCorruptPackage, L"has an entry " + Quoted(entry.name) + L" that cannot be read (" +
                                      FromUtf8Lossy(zip_strerror(m_archive.get())) + L")");
        }
        return file;
    }

private:
    static std::wstring ZipErrorText(int code) {
        zip_error_t error;
        zip_error_init_with_code(&error, code);
        std::wstring text = FromUtf8Lossy(zip_error_strerror(&error));
        zip_error_fini(&error);
        return text;
    }

    void ReadEntries() {
        const zip_int64_t count = zip_get_num_entries(m_archive.get(), 0);
        if (count < 0) {
            Fail(kCannotOpenPackage, L"cannot be opened as a ZIP file");
        }
        std::unordered_set<std::string> foldedNames;
        for (zip_uint64_t index = 0; index < static_cast<zip_uint64_t>(count); ++index) {
            Entry entry = ReadEntry(index);
            const std::string folded = FoldAsciiCase(entry.name);
            if (!foldedNames.insert(folded).second) {
                Fail(kCorruptPackage, L"holds more than one entry named " + Quoted(entry.name) +
                                          L" (names that differ only in case count as the same)");
            }
            m_byName.emplace(entry.name, m_entries.size());
            m_entries.push_back(std::move(entry));
        }
        // A file may not also be a folder on another entry's path.
        std::unordered_map<std::string, const Entry*> files;
        for (const Entry& entry : m_entries) {
            if (!entry.directory) {
                files.emplace(FoldAsciiCase(entry.name), &entry);
            }
        }
        for (const Entry& entry : m_entries) {
            const std::string folded = FoldAsciiCase(entry.name);
            for (auto slash = folded.find('/'); slash != std::string::npos; slash = folded.find('/', slash + 1)) {
                const auto clash = files.find(folded.substr(0, slash));
                if (clash != files.end()) {
                    Fail(kCorruptPackage, L"holds a file " + Quoted(clash->second->name) +
                                              L" that is also a folder on the path of " + Quoted(entry.name));
                }
            }
        }
    }

    Entry ReadEntry(zip_uint64_t index) const {
        Entry entry;
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
        entry.name = *decoded;
        if (!entry.name.empty() && entry.name.back() == '/') {
            entry.directory = true;
            entry.name.pop_back();
        }
        if (!IsSafeEntryName(entry.name)) {
            Fail(kCorruptPackage, L"has an entry " + Quoted(raw) + L" whose path is not a safe relative path");
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
        if ((stat.valid & ZIP_STAT_COMP_METHOD) != 0 &&
            zip_compression_method_supported(static_cast<zip_int32_t>(stat.comp_method), 0) == 0) {
            Fail(kCorruptPackage, L"has an entry " + Quoted(raw) + L" compressed with an unsupported method");
        }
        entry.size = stat.size;
        if (entry.directory && entry.size != 0) {
            Fail(kCorruptPackage, L"has a folder entry " + Quoted(raw) + L" with data");
        }
        return entry;
    }

    std::wstring m_fileText;
    ZipHandle m_archive;
    std::vector<Entry> m_entries;
    std::unordered_map<std::string, std::size_t> m_byName;
};

PackageIdentity ReadIdentity(const Package& package) {
    const std::string manifest = package.ReadWhole(package.Required(kManifestName), kManifestLimit, kInvalidManifest);
    try {
        return ReadManifest(manifest);
    } catch (const PlatformError& error) {
        package.FailWith(error);
    }
}

// Only disk-full and access problems get codes of their own here: a missing
// folder in the destination is not a missing file of the user's.
[[noreturn]] void FailIo(const std::wstring& what, int error) {
    hresult code = kFail;
    if (error == ENOSPC || error == EDQUOT) {
        code = kStoreDiskFull;
    } else if (error == EACCES || error == EPERM || error == EROFS) {
        code = kAccessDenied;
    }
    Throw(code, what + L" (" + ErrnoText(error) + L").");
}

// Creates files and folders under the destination folder without ever
// following a symbolic link or reusing something that was already there.
class Extractor {
public:
    explicit Extractor(const std::filesystem::path& destination)
        : m_destination(destination) {
        m_root = FileDescriptor(open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!m_root) {
            Throw(kInvalidArgument,
                  L"The destination folder \"" + PathText(destination) + L"\" is not a folder that can be opened.");
        }
        std::error_code error;
        if (!std::filesystem::is_empty(destination, error) || error) {
            Throw(kInvalidArgument, L"The destination folder \"" + PathText(destination) + L"\" is not empty.");
        }
    }

    // The folder `relative` (created with its parents as needed) opened.
    int Folder(std::string_view relative) {
        if (relative.empty()) {
            return m_root.Get();
        }
        if (relative == m_cachedFolder) {
            return m_cachedFd.Get();
        }
        FileDescriptor current;
        int parent = m_root.Get();
        std::size_t start = 0;
        while (start <= relative.size()) {
            auto end = relative.find('/', start);
            if (end == std::string_view::npos) {
                end = relative.size();
            }
            const std::string segment(relative.substr(start, end - start));
            if (mkdirat(parent, segment.c_str(), 0755) != 0 && errno != EEXIST) {
                const int error = errno;  // before building the text can change it
                FailIo(L"The folder \"" + Path(relative.substr(0, end)) + L"\" cannot be created", error);
            }
            FileDescriptor next(openat(parent, segment.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!next) {
                const int error = errno;
                FailIo(L"The folder \"" + Path(relative.substr(0, end)) + L"\" cannot be opened", error);
            }
            current = std::move(next);
            parent = current.Get();
            start = end + 1;
        }
        m_cachedFolder = relative;
        m_cachedFd = std::move(current);
        return m_cachedFd.Get();
    }

    FileDescriptor CreateFile(std::string_view name, bool executable) {
        const auto slash = name.rfind('/');
        const int folder = Folder(slash == std::string_view::npos ? std::string_view() : name.substr(0, slash));
        const std::string leaf(slash == std::string_view::npos ? name : name.substr(slash + 1));
        FileDescriptor file(openat(folder, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                   executable ? 0755 : 0644));
        if (!file) {
            const int error = errno;
            FailIo(L"The file \"" + Path(name) + L"\" cannot be created", error);
        }
        return file;
    }

    void Write(const FileDescriptor& file, std::string_view name, const char* data, std::size_t size) {
        if (const int error = WriteAll(file, data, size); error != 0) {
            FailIo(L"The file \"" + Path(name) + L"\" cannot be written", error);
        }
    }

    void Finish(FileDescriptor& file, std::string_view name) {
        if (const int error = file.Close(); error != 0) {
            FailIo(L"The file \"" + Path(name) + L"\" cannot be written", error);
        }
    }

private:
    std::wstring Path(std::string_view relative) const {
        return PathText(m_destination / std::filesystem::path(std::string(relative)));
    }

    std::filesystem::path m_destination;
    FileDescriptor m_root;
    std::string m_cachedFolder;
    FileDescriptor m_cachedFd;
};

// Payload entries paired with their block map records, in package order.
struct PayloadFile {
    const Entry* entry;
    const BlockMapFile* blocks;
};

std::vector<PayloadFile> MatchBlockMap(const Package& package, const std::vector<BlockMapFile>& blockMap) {
    std::unordered_map<std::string_view, const BlockMapFile*> listed;
    for (const BlockMapFile& file : blockMap) {
        listed.emplace(file.name, &file);
    }
    std::vector<PayloadFile> payload;
    for (const Entry& entry : package.Entries()) {
        if (entry.directory || IsFootprintFile(entry.name)) {
            continue;
        }
        const auto found = listed.find(entry.name);
        if (found == listed.end()) {
            package.Fail(kInvalidBlockMap, L"has a file " + Package::Quoted(entry.name) + L" that its block map does not list");
        }
        if (found->second->size != entry.size) {
            package.Fail(kInvalidBlockMap, L"has a file " + Package::Quoted(entry.name) + L" of " +
                                               std::to_wstring(entry.size) + L" bytes that its block map gives as " +
                                               std::to_wstring(found->second->size) + L" bytes");
        }
        payload.push_back(PayloadFile{&entry, found->second});
        listed.erase(found);
    }
    if (!listed.empty()) {
        // Report the first in block map order, so the text does not depend on hashing.
        for (const BlockMapFile& file : blockMap) {
            if (listed.contains(file.name)) {
                package.Fail(kInvalidBlockMap,
                             L"has no file " + Package::Quoted(file.name) + L", which its block map lists");
            }
        }
    }
    return payload;
}

// Fills `buffer` with up to `size` bytes of the entry; fewer only at its end.
std::size_t ReadFully(const Package& package, zip_file_t* file, const Entry& entry, char* buffer, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        const zip_int64_t read = zip_fread(file, buffer + filled, size - filled);
        if (read < 0) {
            package.Fail(kCorruptPackage, L"has a file " + Package::Quoted(entry.name) +
                                              L" whose data cannot be read (" +
                                              FromUtf8Lossy(zip_file_strerror(file)) + L")");
        }
        if (read == 0) {
            break;
        }
        filled += static_cast<std::size_t>(read);
    }
    return filled;
}

// Decompresses the payload on a second thread, a few blocks ahead of the
// caller, who hashes and writes them: inflating is the slowest step, and this
// way it overlaps with the rest. Blocks come out in package order; a failure
// of the decompressing side comes out in its place in that order.
class BlockPipeline {
public:
    BlockPipeline(const Package& package, const std::vector<PayloadFile>& payload) : m_slots(kSlots) {
        for (Slot& slot : m_slots) {
            slot.data.resize(kBlockSize);
        }
        m_thread = std::thread([this, &package, &payload] { Produce(package, payload); });
    }

    ~BlockPipeline() {
        {
            const std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

    BlockPipeline(const BlockPipeline&) = delete;
    BlockPipeline& operator=(const BlockPipeline&) = delete;

    // The next block; valid until Release.
    std::string_view Next() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_count > 0 || m_done; });
        if (m_count == 0) {
            RethrowFailure();
            Throw(kUnexpected, L"The package extraction ran out of data.");
        }
        const Slot& slot = m_slots[m_tail % kSlots];
        return std::string_view(slot.data.data(), slot.size);
    }

    void Release() {
        {
            const std::lock_guard lock(m_mutex);
            ++m_tail;
            --m_count;
        }
        m_changed.notify_all();
    }

    // Waits for the decompressing side to end and raises its failure, if any.
    void Finish() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_done; });
        RethrowFailure();
    }

private:
    static constexpr std::size_t kSlots = 4;

    struct Slot {
        std::vector<char> data;
        std::size_t size = 0;
    };

    void RethrowFailure() {
        if (m_failure) {
            std::rethrow_exception(m_failure);
        }
    }

    // The slot to fill next, once the caller has room; nullptr when stopping.
    Slot* Acquire() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_count < kSlots || m_stopping; });
        return m_stopping ? nullptr : &m_slots[m_head % kSlots];
    }

    void Publish() {
        {
            const std::lock_guard lock(m_mutex);
            ++m_head;
            ++m_count;
        }
        m_changed.notify_all();
    }

    void Produce(const Package& package, const std::vector<PayloadFile>& payload) noexcept {
        std::exception_ptr failure;
        try {
            for (const PayloadFile& file : payload) {
                const Entry& entry = *file.entry;
                ZipFileHandle input = package.Open(entry);
                for (std::size_t block = 0; block < file.blocks->blockHashes.size(); ++block) {
                    Slot* slot = Acquire();
                    if (slot == nullptr) {
                        return;
                    }
                    const std::uint64_t expected = std::min<std::uint64_t>(kBlockSize, entry.size - block * kBlockSize);
                    slot->size = ReadFully(package, input.get(), entry, slot->data.data(), expected);
                    if (slot->size != expected) {
                        package.Fail(kInvalidBlockMap, L"has a file " + Package::Quoted(entry.name) +
                                                           L" whose data ends before the size its block map gives");
                    }
                    Publish();
                }
                char extra = 0;
                if (ReadFully(package, input.get(), entry, &extra, 1) != 0) {
                    package.Fail(kInvalidBlockMap, L"has a file " + Package::Quoted(entry.name) +
                                                       L" with more data than the size its block map gives");
                }
            }
        } catch (...) {
            failure = std::current_exception();
        }
        {
            const std::lock_guard lock(m_mutex);
            m_failure = failure;
            m_done = true;
        }
        m_changed.notify_all();
    }

    std::vector<Slot> m_slots;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_head = 0;   // slots published
    std::size_t m_tail = 0;   // slots released
    std::size_t m_count = 0;  // published, not yet released
    bool m_stopping = false;
    bool m_done = false;
    std::exception_ptr m_failure;
    std::thread m_thread;
};

}  // namespace

bool IsSafeEntryName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength || name.front() == '/') {
        return false;
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\' || c == ':') {
            return false;
        }
    }
    std::size_t start = 0;
    for (;;) {
        auto end = name.find('/', start);
        const std::string_view segment = name.substr(start, end == std::string_view::npos ? name.npos : end - start);
        if (segment.empty() || segment == "." || segment == ".." || segment.size() > kMaxSegmentLength) {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

std::optional<std::string> DecodePartName(std::string_view rawName) {
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string decoded;
    decoded.reserve(rawName.size());
    for (std::size_t i = 0; i < rawName.size(); ++i) {
        if (rawName[i] != '%') {
            decoded += rawName[i];
            continue;
        }
        if (i + 2 >= rawName.size()) {
            return std::nullopt;
        }
        const int high = hexValue(rawName[i + 1]);
        const int low = hexValue(rawName[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        const char byte = static_cast<char>(high * 16 + low);
        if (byte == '/' || byte == '\\' || byte == '\0') {
            return std::nullopt;
        }
        decoded += byte;
        i += 2;
    }
    return decoded;
}

PackageIdentity ReadPackageIdentity(const std::filesystem::path& packageFile) {
    const Package package(packageFile);
    return ReadIdentity(package);
}

PackageIdentity ExtractPackage(const std::filesystem::path& packageFile, const std::filesystem::path& destination,
                               const ExtractOptions& options) {
    const Package package(packageFile, options.displayName);
    PackageIdentity identity = ReadIdentity(package);

    // Read as it is inflated: only its hashes are kept.
    BlockMapReader blockMapReader;
    package.ReadInPieces(package.Required(kBlockMapName), kBlockMapLimit, kInvalidBlockMap, [&](std::string_view piece) {
        try {
            blockMapReader.Feed(piece);
        } catch (const PlatformError& error) {
            package.FailWith(error);
        }
    });
    std::vector<BlockMapFile> blockMap;
    try {
        blockMap = blockMapReader.Finish();
    } catch (const PlatformError& error) {
        package.FailWith(error);
    }
    const std::vector<PayloadFile> payload = MatchBlockMap(package, blockMap);

    std::uint64_t total = 0;
    for (const PayloadFile& file : payload) {
        if (file.entry->size > std::numeric_limits<std::uint64_t>::max() - total) {
            package.Fail(kInvalidBlockMap, L"has files whose sizes add up to more than 2^64 bytes");
        }
        total += file.entry->size;
    }
    auto checkCancelled = [&options] {
        if (options.cancelled && options.cancelled()) {
            Throw(kCancelled, L"The package extraction was cancelled.");
        }
    };
    auto reportProgress = [&options, total](std::uint64_t done) {
        if (options.progress) {
            options.progress(done, total);
        }
    };

    Extractor extractor(destination);
    for (const Entry& entry : package.Entries()) {
        if (entry.directory) {
            extractor.Folder(entry.name);
        }
    }

    checkCancelled();
    reportProgress(0);
    Sha256 hasher;
    std::uint64_t done = 0;
    BlockPipeline pipeline(package, payload);
    for (const PayloadFile& file : payload) {
        const Entry& entry = *file.entry;
        FileDescriptor output = extractor.CreateFile(entry.name, entry.executable);
        for (std::size_t block = 0; block < file.blocks->blockHashes.size(); ++block) {
            checkCancelled();
            const std::string_view data = pipeline.Next();
            hasher.Update(data.data(), data.size());
            if (hasher.Finish() != file.blocks->blockHashes[block]) {
                package.Fail(kBlockHashMismatch, L"has a file " + Package::Quoted(entry.name) + L" whose block " +
                                                     std::to_wstring(block + 1) +
                                                     L" does not match the hash in its block map");
            }
            extractor.Write(output, entry.name, data.data(), data.size());
            pipeline.Release();
            done += data.size();
            reportProgress(done);
        }
        extractor.Finish(output, entry.name);
    }
    pipeline.Finish();
    return identity;
}

}  // namespace platform::deployment::local
