#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/BlockMap.h"

#include <algorithm>
#include <charconv>
#include <unordered_set>

#include "platform/Error.h"
#include "platform/deployment/local/Encoding.h"
#include "platform/deployment/local/PackageReader.h"
#include "platform/deployment/local/Xml.h"

namespace platform::deployment::local {

namespace {

constexpr std::string_view kBlockMapNamespace = "http://schemas.microsoft.com/appx/2010/blockmap";
constexpr std::string_view kSha256Method = "http://www.w3.org/2001/04/xmlenc#sha256";

[[noreturn]] void Fail(const std::wstring& fault) {
    Throw(kInvalidBlockMap, L"The package block map AppxBlockMap.xml is not valid: " + fault + L".");
}

template <typename Number>
std::optional<Number> ParseNumber(std::string_view text) {
    Number value{};
    if (text.empty() || (text.size() > 1 && text[0] == '0')) {
        return std::nullopt;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

BlockMapFile ReadFile(pugi::xml_node element, std::size_t index) {
    const std::wstring which = L"file " + std::to_wstring(index + 1);
    BlockMapFile file;
    const auto name = xml::Attribute(element, "Name");
    if (!name) {
        Fail(which + L" has no Name");
    }
    file.name = *name;
    std::replace(file.name.begin(), file.name.end(), '\\', '/');
    const std::wstring quotedName = L"file \"" + FromUtf8Lossy(*name) + L"\"";
    if (!IsSafeEntryName(file.name)) {
        Fail(quotedName + L" does not have a safe relative name");
    }

    const auto size = ParseNumber<std::uint64_t>(xml::Attribute(element, "Size").value_or(""));
    // Kept below 2^63 so that sizes add up and convert to file offsets safely.
    if (!size || *size > (std::uint64_t{1} << 62)) {
        Fail(quotedName + L" has no valid Size");
    }
    file.size = *size;
    const auto lfhSize = ParseNumber<std::uint32_t>(xml::Attribute(element, "LfhSize").value_or(""));
    if (!lfhSize) {
        Fail(quotedName + L" has no valid LfhSize");
    }
    file.lfhSize = *lfhSize;

    const std::uint64_t expectedBlocks = (file.size + kBlockSize - 1) / kBlockSize;
    for (const pugi::xml_node block : element.children()) {
        if (block.type() != pugi::node_element) {
            continue;
        }
        if (xml::LocalName(block) != "Block" || xml::NamespaceOf(block) != kBlockMapNamespace) {
            Fail(quotedName + L" holds a <" + FromUtf8Lossy(block.name()) + L"> element");
        }
        if (file.blockHashes.size() >= expectedBlocks) {
            Fail(quotedName + L" has more than the " + std::to_wstring(expectedBlocks) + L" blocks its size needs");
        }
        const auto hash = DecodeBase64(xml::Attribute(block, "Hash").value_or(""));
        if (!hash || hash->size() != 32) {
            Fail(quotedName + L" has a block whose Hash is not the base64 of 32 bytes");
        }
        auto& digest = file.blockHashes.emplace_back();
        std::copy(hash->begin(), hash->end(), digest.begin());
    }
    if (file.blockHashes.size() != expectedBlocks) {
        Fail(quotedName + L" has " + std::to_wstring(file.blockHashes.size()) + L" blocks, its size needs " +
             std::to_wstring(expectedBlocks));
    }
    return file;
}

}  // namespace

std::vector<BlockMapFile> ReadBlockMap(std::string bytes) {
    pugi::xml_document document;
    if (const std::string error = xml::LoadInPlace(document, bytes); !error.empty()) {
        Fail(L"the XML cannot be read (" + FromUtf8Lossy(error) + L")");
    }
    const pugi::xml_node root = document.document_element();
    if (xml::LocalName(root) != "BlockMap" || xml::NamespaceOf(root) != kBlockMapNamespace) {
        Fail(L"the root element is <" + FromUtf8Lossy(root.name()) + L"> in namespace \"" +
             FromUtf8Lossy(xml::NamespaceOf(root)) + L"\", not a block map's <BlockMap>");
    }
    const auto hashMethod = xml::Attribute(root, "HashMethod");
    if (hashMethod != kSha256Method) {
        Fail(L"its HashMethod \"" + FromUtf8Lossy(hashMethod.value_or("")) + L"\" is not SHA-256 (" +
             FromUtf8Lossy(kSha256Method) + L")");
    }

    std::vector<BlockMapFile> files;
    std::unordered_set<std::string> seen;
    for (const pugi::xml_node child : root.children()) {
        if (child.type() != pugi::node_element) {
            continue;
        }
        if (xml::LocalName(child) != "File" || xml::NamespaceOf(child) != kBlockMapNamespace) {
            Fail(L"the BlockMap holds a <" + FromUtf8Lossy(child.name()) + L"> element");
        }
        auto file = ReadFile(child, files.size());
        if (!seen.insert(FoldAsciiCase(file.name)).second) {
            Fail(L"file \"" + FromUtf8Lossy(file.name) + L"\" is listed more than once");
        }
        files.push_back(std::move(file));
    }
    return files;
}

}  // namespace platform::deployment::local
