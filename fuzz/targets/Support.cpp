#include "fuzz/targets/Support.h"

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace fuzz {
namespace {

class Scratch {
public:
    Scratch() {
        std::error_code error;
        std::filesystem::path base = std::filesystem::temp_directory_path(error);
        // Each input writes and deletes files: memory is much faster than a disk.
        if (std::getenv("TMPDIR") == nullptr && std::filesystem::is_directory("/dev/shm", error)) {
            base = "/dev/shm";
        }
        std::string pattern = (base / "appdeploy-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("appdeploy fuzz: cannot create a scratch folder");
            std::abort();
        }
        m_path = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const std::filesystem::path& Path() const noexcept { return m_path; }

private:
    std::filesystem::path m_path;
};

}  // namespace

std::wstring LooseWide(std::string_view bytes) {
    std::wstring text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        std::uint32_t value = 0;
        if (lead >= 0xC0 && lead < 0xE0) {
            length = 2;
            value = lead & 0x1F;
        } else if (lead >= 0xE0 && lead < 0xF0) {
            length = 3;
            value = lead & 0x0F;
        } else if (lead >= 0xF0 && lead < 0xF8) {
            length = 4;
            value = lead & 0x07;
        }
        bool whole = length > 0 && i + length <= bytes.size();
        for (std::size_t k = 1; whole && k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            whole = (next & 0xC0) == 0x80;
            value = (value << 6) | (next & 0x3F);
        }
        if (whole) {
            text += static_cast<wchar_t>(value);
            i += length;
        } else {
            text += static_cast<wchar_t>(lead);
            ++i;
        }
    }
    return text;
}

const std::filesystem::path& ScratchFolder() {
    static const Scratch scratch;
    return scratch.Path();
}

void RemoveAll(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error) {
        std::fprintf(stderr, "appdeploy fuzz: cannot remove %s: %s\n", path.c_str(), error.message().c_str());
        std::abort();
    }
}

void Require(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "appdeploy fuzz: broken property: %s\n", property);
        std::abort();
    }
}

platform::deployment::local::ExtractOptions Unchecked() {
    platform::deployment::local::ExtractOptions options;
    options.signature = platform::deployment::local::SignatureCheck::NotChecked();
    return options;
}

}  // namespace fuzz
