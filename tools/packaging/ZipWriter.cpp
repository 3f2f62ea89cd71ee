#include "tools/packaging/ZipWriter.h"

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>

namespace packaging {
namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kDataDescriptorSignature = 0x08074b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint16_t kZip64Version = 45;
constexpr std::uint16_t kMadeByUnix = 3 << 8;
constexpr std::uint16_t kDataDescriptorFlag = 1 << 3;
constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kDeflated = 8;
// 1980-01-01 00:00: the same package from the same input, byte for byte.
constexpr std::uint16_t kDosDate = (0 << 9) | (1 << 5) | 1;
constexpr std::uint16_t kDosTime = 0;
constexpr std::uint32_t kNoValue32 = 0xFFFFFFFF;
constexpr std::uint16_t kNoValue16 = 0xFFFF;
constexpr char kEmptyFinalBlock[] = "\x03\x00";

[[noreturn]] void Fail(const std::string& text) { throw std::runtime_error(text); }

class Bytes {
public:
    Bytes& U16(std::uint16_t value) { return Put(value, 2); }
    Bytes& U32(std::uint32_t value) { return Put(value, 4); }
    Bytes& U64(std::uint64_t value) { return Put(value, 8); }
    Bytes& Text(std::string_view text) {
        m_bytes.append(text);
        return *this;
    }
    const std::string& Data() const { return m_bytes; }

private:
    Bytes& Put(std::uint64_t value, int size) {
        for (int i = 0; i < size; ++i) {
            m_bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
        }
        return *this;
    }
    std::string m_bytes;
};

std::uint16_t Length16(std::size_t length, const std::string& name) {
    if (length > std::numeric_limits<std::uint16_t>::max()) {
        Fail("the entry name is too long: " + name);
    }
    return static_cast<std::uint16_t>(length);
}

struct DeflateStream {
    z_stream stream{};
    // The packer's settings: level 6, a 32 KiB window, memory level 8.
    DeflateStream() {
        if (deflateInit2(&stream, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            Fail("cannot start deflating");
        }
    }
    ~DeflateStream() { deflateEnd(&stream); }
    DeflateStream(const DeflateStream&) = delete;
    DeflateStream& operator=(const DeflateStream&) = delete;

    // Starts a stream of its own. The packer's deflater keeps counting
    // positions across a full flush, so a block's first byte can begin a
    // match; a fresh zlib stream cannot match at position 0, so a block after
    // the first starts one byte in, after a dictionary byte that no match
    // can reach (position 0 is zlib's "no match"). Its output is then the
    // packer's, byte for byte.
    void Restart(bool primed) {
        static constexpr Bytef kPrimer = 0;
        if (deflateReset(&stream) != Z_OK || (primed && deflateSetDictionary(&stream, &kPrimer, 1) != Z_OK)) {
            Fail("cannot start deflating");
        }
    }

    // Compresses `input` and flushes with `flush`; appends the output to `out`.
    void Run(std::string_view input, int flush, std::string& out) {
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
        stream.avail_in = static_cast<uInt>(input.size());
        char buffer[16384];
        for (;;) {
            stream.next_out = reinterpret_cast<Bytef*>(buffer);
            stream.avail_out = sizeof buffer;
            const int result = deflate(&stream, flush);
            if (result == Z_STREAM_ERROR) {
                Fail("deflate failed");
            }
            out.append(buffer, sizeof buffer - stream.avail_out);
            if (stream.avail_out != 0 && stream.avail_in == 0) {
                break;
            }
        }
    }
};

}  // namespace

ZipWriter::ZipWriter(const std::filesystem::path& file) : m_file(file) {
    m_out.open(file, std::ios::binary | std::ios::trunc);
    if (!m_out) {
        Fail("cannot create " + file.string());
    }
}

ZipWriter::~ZipWriter() = default;

void ZipWriter::Write(std::string_view bytes) {
    m_out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!m_out) {
        Fail("cannot write " + m_file.string());
    }
    m_offset += bytes.size();
    if (m_observer) {
        m_observer(bytes);
    }
}

void ZipWriter::Add(const std::string& name, std::uint32_t mode, Compression compression, const Reader& read,
                    const BlockSink& sink) {
    const bool deflated = compression != Compression::Stored;
    CentralEntry entry{name, mode, deflated ? kDeflated : kStored, 0, 0, 0, m_offset};
    // Sizes and CRC follow the data, so the header can be written first.
    Write(Bytes()
              .U32(kLocalHeaderSignature)
              .U16(kZip64Version)
              .U16(kDataDescriptorFlag)
              .U16(entry.method)
              .U16(kDosTime)
              .U16(kDosDate)
              .U32(0)
              .U32(0)
              .U32(0)
              .U16(Length16(name.size(), name))
              .U16(0)
              .Text(name)
              .Data());

    std::unique_ptr<DeflateStream> deflater = deflated ? std::make_unique<DeflateStream>() : nullptr;
    const bool apart = compression == Compression::Blocks && m_blocksApart;
    std::string block(kZipBlockSize, '\0');
    std::string next(kZipBlockSize, '\0');
    std::string compressed;
    uLong crc = crc32(0, nullptr, 0);
    std::size_t filled = read(block.data(), block.size());
    for (bool first = true;; first = false) {
        const std::string_view data(block.data(), filled);
        // One block ahead tells whether this one is the last, whose flush ends a stream.
        const std::size_t nextFilled = filled == kZipBlockSize ? read(next.data(), next.size()) : 0;
        const bool last = nextFilled == 0;
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
        entry.size += data.size();
        std::uint64_t blockCompressed = data.size();
        if (deflater) {
            compressed.clear();
            if (!apart) {
                deflater->Run(data,
                              last                                 ? Z_FINISH
                              : compression == Compression::Blocks ? Z_SYNC_FLUSH
                                                                   : Z_NO_FLUSH,
                              compressed);
            } else if (!data.empty()) {
                deflater->Restart(!first);
                deflater->Run(data, Z_SYNC_FLUSH, compressed);
            }
            Write(compressed);
            blockCompressed = compressed.size();
        } else {
            Write(data);
        }
        entry.compressedSize += blockCompressed;
        if (sink && !data.empty()) {
            sink(data, compression == Compression::Blocks ? blockCompressed : 0);
        }
        if (last) {
            break;
        }
        block.swap(next);
        filled = nextFilled;
    }
    if (apart) {
        // The packer ends every such entry with an empty final block that no
        // block's size covers.
        Write(std::string_view(kEmptyFinalBlock, 2));
        entry.compressedSize += 2;
    }
    entry.crc = static_cast<std::uint32_t>(crc);
    Write(Bytes().U32(kDataDescriptorSignature).U32(entry.crc).U64(entry.compressedSize).U64(entry.size).Data());
    m_entries.push_back(std::move(entry));
}

void ZipWriter::AddBytes(const std::string& name, std::string_view bytes, std::uint32_t mode, Compression compression) {
    std::size_t at = 0;
    Add(name, mode, compression, [&](char* buffer, std::size_t size) {
        const std::size_t count = std::min(size, bytes.size() - at);
        std::copy_n(bytes.data() + at, count, buffer);
        at += count;
        return count;
    });
}

std::string ZipWriter::EndRecords() const {
    Bytes records;
    const std::uint64_t directoryOffset = m_offset;
    for (const CentralEntry& entry : m_entries) {
        const bool keepsMode =
            (entry.mode & 0111) != 0 || ((entry.mode & S_IFMT) != 0 && (entry.mode & S_IFMT) != S_IFREG);
        records.U32(kCentralHeaderSignature)
            .U16(keepsMode ? kMadeByUnix | kZip64Version : kZip64Version)
            .U16(kZip64Version)
            .U16(kDataDescriptorFlag)
            .U16(entry.method)
            .U16(kDosTime)
            .U16(kDosDate)
            .U32(entry.crc)
            .U32(kNoValue32)
            .U32(kNoValue32)
            .U16(Length16(entry.name.size(), entry.name))
            .U16(4 + 24)
            .U16(0)
            .U16(0)
            .U16(0)
            .U32(keepsMode ? entry.mode << 16 : 0)
            .U32(kNoValue32)
            .Text(entry.name)
            // The ZIP64 extra field: sizes and the local header's offset.
            .U16(0x0001)
            .U16(24)
            .U64(entry.size)
            .U64(entry.compressedSize)
            .U64(entry.offset);
    }
    const std::uint64_t directorySize = records.Data().size();
    const std::uint64_t zip64EndOffset = directoryOffset + directorySize;
    const std::uint64_t count = m_entries.size();
    records.U32(kZip64EndSignature)
        .U64(44)
        .U16(kZip64Version)
        .U16(kZip64Version)
        .U32(0)
        .U32(0)
        .U64(count)
        .U64(count)
        .U64(directorySize)
        .U64(directoryOffset)
        .U32(kZip64LocatorSignature)
        .U32(0)
        .U64(zip64EndOffset)
        .U32(1);
    const std::uint16_t disk = m_diskNumbersZero ? 0 : kNoValue16;
    records.U32(kEndSignature)
        .U16(disk)
        .U16(disk)
        .U16(kNoValue16)
        .U16(kNoValue16)
        .U32(kNoValue32)
        .U32(kNoValue32)
        .U16(0);
    return records.Data();
}

void ZipWriter::Close() {
    if (m_closed) {
        return;
    }
    Write(EndRecords());
    m_out.close();
    if (!m_out) {
        Fail("cannot write " + m_file.string());
    }
    m_closed = true;
}

}  // namespace packaging
