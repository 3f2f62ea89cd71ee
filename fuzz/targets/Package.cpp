#include <algorithm>
#include <fstream>
#include <string>

#include "fuzz/targets/FuzzTargets.h"
#include "fuzz/targets/Support.h"
#include "platform/Error.h"
#include "platform/deployment/local/extract/ExtractPackage.h"
#include "platform/deployment/local/format/PartNames.h"

namespace fuzz {
namespace {

namespace fs = std::filesystem;
namespace local = platform::deployment::local;

// A name the reader calls safe must stay below the folder it is extracted to.
void CheckEntryName(std::string_view raw) {
    const auto decoded = local::DecodePartName(raw);
    if (!decoded || !local::IsSafeEntryName(*decoded)) {
        return;
    }
    const fs::path root("/package");
    const fs::path joined = (root / *decoded).lexically_normal();
    const auto [rootEnd, joinedAt] = std::mismatch(root.begin(), root.end(), joined.begin(), joined.end());
    Require(rootEnd == root.end() && joined != root, "a safe entry name stays inside the package folder");
    Require(decoded->find('\\') == std::string::npos && decoded->find(':') == std::string::npos,
            "a safe entry name has no backslash or colon");
}

void Extract(std::string_view bytes) {
    const fs::path package = ScratchFolder() / "input.appx";
    const fs::path destination = ScratchFolder() / "package";
    {
        std::ofstream out(package, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        Require(static_cast<bool>(out.flush()), "the input can be written to the scratch folder");
    }
    fs::create_directory(destination);
    try {
        static_cast<void>(local::ExtractPackage(package, destination, Unchecked()));
        // Whatever was accepted is plain files and folders, nothing that points elsewhere.
        for (const auto& item : fs::recursive_directory_iterator(destination)) {
            const auto status = item.symlink_status();
            Require(fs::is_regular_file(status) || fs::is_directory(status),
                    "an extracted package holds only files and folders");
        }
    } catch (const platform::PlatformError&) {
    }
    RemoveAll(destination);
    RemoveAll(package);
}

}  // namespace

void FuzzPackage(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = AsText(data, size);
    CheckEntryName(bytes.substr(0, bytes.find('\0')));
    Extract(bytes);
}

}  // namespace fuzz
