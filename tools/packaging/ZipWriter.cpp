#include "tools/packaging/ZipWriter.h"

#include <zip.h>

#include <stdexcept>

namespace packaging {
namespace {

[[noreturn]] void Fail(const std::string& text) { throw std::runtime_error(text); }

}  // namespace

void ZipWriter::ArchiveDeleter::operator()(zip* archive) const noexcept { zip_discard(archive); }

ZipWriter::ZipWriter(const std::filesystem::path& file) : m_file(file) {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    int error = 0;
    m_archive.reset(zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error));
    if (!m_archive) {
        Fail("cannot create " + file.string());
    }
}

ZipWriter::~ZipWriter() = default;

void ZipWriter::AddBytes(const std::string& name, std::string bytes, std::uint32_t mode) {
    const std::string& stored = m_buffers.emplace_back(std::move(bytes));
    Add(name, zip_source_buffer(m_archive.get(), stored.data(), stored.size(), 0), mode);
}

void ZipWriter::AddFile(const std::string& name, const std::filesystem::path& path, std::uint32_t mode) {
    Add(name, zip_source_file(m_archive.get(), path.c_str(), 0, -1), mode);
}

void ZipWriter::AddStoredFile(const std::string& name, const std::filesystem::path& path, std::uint32_t mode) {
    Add(name, zip_source_file(m_archive.get(), path.c_str(), 0, -1), mode, false);
}

void ZipWriter::Close() {
    if (zip_close(m_archive.get()) != 0) {
        Fail("cannot write " + m_file.string() + ": " + zip_strerror(m_archive.get()));
    }
    static_cast<void>(m_archive.release());
}

void ZipWriter::Add(const std::string& name, zip_source_t* source, std::uint32_t mode, bool deflate) {
    if (source == nullptr) {
        Fail("cannot add " + name + ": " + zip_strerror(m_archive.get()));
    }
    const zip_int64_t index = zip_file_add(m_archive.get(), name.c_str(), source, ZIP_FL_ENC_RAW);
    if (index < 0) {
        zip_source_free(source);
        Fail("cannot add " + name + ": " + zip_strerror(m_archive.get()));
    }
    const auto entry = static_cast<zip_uint64_t>(index);
    if (zip_file_set_external_attributes(m_archive.get(), entry, 0, ZIP_OPSYS_UNIX, mode << 16) != 0 ||
        zip_set_file_compression(m_archive.get(), entry, deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0) != 0) {
        Fail("cannot set up " + name + ": " + zip_strerror(m_archive.get()));
    }
}

}  // namespace packaging
