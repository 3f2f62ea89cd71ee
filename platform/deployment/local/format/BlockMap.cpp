#include "platform/deployment/local/format/BlockMap.h"

#include <expat.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <exception>
#include <new>
#include <memory>
#include <optional>
#include <type_traits>
#include <unordered_set>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/format/CaseFolding.h"
#include "platform/deployment/local/format/Encoding.h"
#include "platform/deployment/local/format/PartNames.h"

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

// Expat reports a namespaced name as "URI\x01local\x01prefix"; \x01 cannot occur
// in an XML 1.0 document, so the parts are unambiguous.
constexpr char kSeparator = '\x01';

struct Name {
    std::string_view uri;
    std::string_view local;
    std::string_view prefix;

    explicit Name(std::string_view expanded) : local(expanded) {
        if (const auto first = expanded.find(kSeparator); first != std::string_view::npos) {
            uri = expanded.substr(0, first);
            local = expanded.substr(first + 1);
            if (const auto second = local.find(kSeparator); second != std::string_view::npos) {
                prefix = local.substr(second + 1);
                local = local.substr(0, second);
            }
        }
    }

    bool Is(std::string_view name) const { return uri == kBlockMapNamespace && local == name; }

    // As written in the document, for messages.
    std::wstring Qualified() const {
        return FromUtf8Lossy(prefix.empty() ? std::string(local) : std::string(prefix) + ":" + std::string(local));
    }
};

// The value of an attribute without a namespace.
std::optional<std::string_view> Attribute(const XML_Char** attributes, std::string_view name) {
    for (; attributes[0] != nullptr; attributes += 2) {
        if (name == attributes[0]) {
            return attributes[1];
        }
    }
    return std::nullopt;
}

struct ParserDeleter {
    void operator()(XML_Parser parser) const noexcept { XML_ParserFree(parser); }
};

}  // namespace

struct BlockMapReader::State {
    std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserDeleter> parser;
    std::exception_ptr failure;
    int depth = 0;
    std::vector<BlockMapFile> files;
    std::unordered_set<std::string> seen;
    BlockMapFile file;
    std::wstring quotedName;
    std::uint64_t expectedBlocks = 0;

    void Start(const Name& name, const XML_Char** attributes) {
        ++depth;
        if (depth == 1) {
            StartRoot(name, attributes);
        } else if (depth == 2) {
            StartFile(name, attributes);
        } else if (depth == 3) {
            AddBlock(name, attributes);
        }
    }

    void End() {
        if (depth == 2) {
            EndFile();
        }
        --depth;
    }

    void StartRoot(const Name& name, const XML_Char** attributes) {
        if (!name.Is("BlockMap")) {
            Fail(L"the root element is <" + name.Qualified() + L"> in namespace \"" + FromUtf8Lossy(name.uri) +
                 L"\", not a block map's <BlockMap>");
        }
        const auto hashMethod = Attribute(attributes, "HashMethod");
        if (hashMethod != kSha256Method) {
            Fail(L"its HashMethod \"" + FromUtf8Lossy(hashMethod.value_or("")) + L"\" is not SHA-256 (" +
                 FromUtf8Lossy(kSha256Method) + L")");
        }
    }

    void StartFile(const Name& element, const XML_Char** attributes) {
        if (!element.Is("File")) {
            Fail(L"the BlockMap holds a <" + element.Qualified() + L"> element");
        }
        const std::wstring which = L"file " + std::to_wstring(files.size() + 1);
        file = BlockMapFile{};
        const auto name = Attribute(attributes, "Name");
        if (!name) {
            Fail(which + L" has no Name");
        }
        file.name = *name;
        std::replace(file.name.begin(), file.name.end(), '\\', '/');
        quotedName = L"file \"" + FromUtf8Lossy(*name) + L"\"";
        if (!IsSafeEntryName(file.name)) {
            Fail(quotedName + L" does not have a safe relative name");
        }

        const auto size = ParseNumber<std::uint64_t>(Attribute(attributes, "Size").value_or(""));
        // Kept below 2^63 so that sizes add up and convert to file offsets safely.
        if (!size || *size > (std::uint64_t{1} << 62)) {
            Fail(quotedName + L" has no valid Size");
        }
        file.size = *size;
        const auto lfhSize = ParseNumber<std::uint32_t>(Attribute(attributes, "LfhSize").value_or(""));
        if (!lfhSize) {
            Fail(quotedName + L" has no valid LfhSize");
        }
        file.lfhSize = *lfhSize;
        expectedBlocks = (file.size + kBlockSize - 1) / kBlockSize;
    }

    void AddBlock(const Name& element, const XML_Char** attributes) {
        if (!element.Is("Block")) {
            Fail(quotedName + L" holds a <" + element.Qualified() + L"> element");
        }
        if (file.blockHashes.size() >= expectedBlocks) {
            Fail(quotedName + L" has more than the " + std::to_wstring(expectedBlocks) + L" blocks its size needs");
        }
        const auto hash = DecodeBase64(Attribute(attributes, "Hash").value_or(""));
        if (!hash || hash->size() != 32) {
            Fail(quotedName + L" has a block whose Hash is not the base64 of 32 bytes");
        }
        auto& digest = file.blockHashes.emplace_back();
        std::copy(hash->begin(), hash->end(), digest.begin());
    }

    void EndFile() {
        if (file.blockHashes.size() != expectedBlocks) {
            Fail(quotedName + L" has " + std::to_wstring(file.blockHashes.size()) + L" blocks, its size needs " +
                 std::to_wstring(expectedBlocks));
        }
        if (!seen.insert(FoldCase(file.name)).second) {
            Fail(L"file \"" + FromUtf8Lossy(file.name) + L"\" is listed more than once");
        }
        file.blockHashes.shrink_to_fit();
        files.push_back(std::move(file));
    }

    // Exceptions may not cross expat's frames: the first is kept, the parser
    // stopped, and it is raised once the parser returns.
    template <typename Step>
    static void Guarded(void* self, Step&& step) noexcept {
        auto& state = *static_cast<State*>(self);
        if (state.failure) {
            return;  // expat may still report what it had read
        }
        try {
            step(state);
        } catch (...) {
            state.failure = std::current_exception();
            XML_StopParser(state.parser.get(), XML_FALSE);
        }
    }

    static void OnStart(void* self, const XML_Char* name, const XML_Char** attributes) {
        Guarded(self, [&](State& state) { state.Start(Name(name), attributes); });
    }
    static void OnEnd(void* self, const XML_Char*) {
        Guarded(self, [](State& state) { state.End(); });
    }
    // A document type could declare entities that expand without bound; block
    // maps never have one.
    static void OnDoctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*, int) {
        Guarded(self, [](State&) { Fail(L"it has a document type declaration"); });
    }

    void Parse(const char* data, int size, bool last) {
        if (failure) {
            std::rethrow_exception(failure);
        }
        if (XML_Parse(parser.get(), data, size, last ? XML_TRUE : XML_FALSE) == XML_STATUS_OK) {
            return;
        }
        if (failure) {
            std::rethrow_exception(failure);
        }
        const std::string error = std::string(XML_ErrorString(XML_GetErrorCode(parser.get()))) + " at offset " +
                                  std::to_string(XML_GetCurrentByteIndex(parser.get()));
        try {
            Fail(L"the XML cannot be read (" + FromUtf8Lossy(error) + L")");
        } catch (...) {
            failure = std::current_exception();
            throw;
        }
    }
};

BlockMapReader::BlockMapReader() : m_state(std::make_unique<State>()) {
    m_state->parser.reset(XML_ParserCreateNS(nullptr, kSeparator));
    XML_Parser parser = m_state->parser.get();
    if (parser == nullptr) {
        throw std::bad_alloc();
    }
    XML_SetReturnNSTriplet(parser, XML_TRUE);
    XML_SetUserData(parser, m_state.get());
    XML_SetElementHandler(parser, &State::OnStart, &State::OnEnd);
    XML_SetStartDoctypeDeclHandler(parser, &State::OnDoctype);
}

BlockMapReader::~BlockMapReader() = default;

void BlockMapReader::Feed(std::string_view bytes) {
    while (!bytes.empty()) {
        const int size = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
        m_state->Parse(bytes.data(), size, false);
        bytes.remove_prefix(static_cast<std::size_t>(size));
    }
}

std::vector<BlockMapFile> BlockMapReader::Finish() {
    m_state->Parse(nullptr, 0, true);
    return std::move(m_state->files);
}

std::vector<BlockMapFile> ReadBlockMap(std::string_view bytes) {
    BlockMapReader reader;
    reader.Feed(bytes);
    return reader.Finish();
}

}  // namespace platform::deployment::local
