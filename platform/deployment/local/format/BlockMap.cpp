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
#include <unordered_map>
#include <unordered_set>

#include "platform/Error.h"
#include "platform/Utf8.h"
#include "platform/deployment/local/Codes.h"
#include "platform/deployment/local/format/Encoding.h"
#include "platform/deployment/local/format/FoldedNames.h"
#include "platform/deployment/local/format/PartNames.h"

namespace platform::deployment::local {

namespace {

constexpr std::string_view kBlockMapNamespace = "http://schemas.microsoft.com/appx/2010/blockmap";
// Where the packer's FileHash lives.
constexpr std::string_view kBlockMap2021Namespace = "http://schemas.microsoft.com/appx/2021/blockmap";

struct KnownMethod {
    std::string_view uri;
    HashMethod method;
};
constexpr KnownMethod kHashMethods[] = {
    {"http://www.w3.org/2001/04/xmlenc#sha256", HashMethod::Sha256},
    {"http://www.w3.org/2001/04/xmldsig-more#sha384", HashMethod::Sha384},
    {"http://www.w3.org/2001/04/xmlenc#sha512", HashMethod::Sha512},
};

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

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

    bool Is(std::string_view name, std::string_view inNamespace = kBlockMapNamespace) const {
        return uri == inNamespace && local == name;
    }

    // As written in the document, for messages.
    std::wstring Qualified() const {
        return FromUtf8Lossy(prefix.empty() ? std::string(local) : std::string(prefix) + ":" + std::string(local));
    }
};


struct ParserDeleter {
    void operator()(XML_Parser parser) const noexcept { XML_ParserFree(parser); }
};

}  // namespace

struct BlockMapReader::State {
    std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserDeleter> parser;
    std::exception_ptr failure;
    int depth = 0;
    // Depth of the ignorable element being skipped, 0 when none is.
    int skipping = 0;
    BlockMapDocument document;
    std::size_t digestSize = 0;
    // Prefixes declared on the root, and the namespaces that it lets a reader ignore.
    std::unordered_map<std::string, std::string> rootPrefixes;
    std::unordered_set<std::string> ignorable;
    bool inFile = false;
    BlockMapFile file;
    std::string fileName;  // what file.name views until the file is added
    std::wstring quotedName;
    std::uint64_t expectedBlocks = 0;
    std::uint64_t blocks = 0;

    void DeclareNamespace(const XML_Char* prefix, const XML_Char* uri) {
        if (depth == 0) {
            rootPrefixes[prefix != nullptr ? prefix : ""] = uri != nullptr ? uri : "";
        }
    }

    void Start(const Name& name, const XML_Char** attributes) {
        ++depth;
        if (skipping != 0) {
            return;
        }
        if (depth == 1) {
            StartRoot(name, attributes);
            return;
        }
        if (depth == 2 && name.Is("File")) {
            StartFile(attributes);
        } else if (depth == 3 && inFile && name.Is("Block")) {
            AddBlock(attributes);
        } else if (depth == 3 && inFile && name.Is("FileHash", kBlockMap2021Namespace)) {
            AddFileHash(attributes);
        } else if (ignorable.contains(std::string(name.uri))) {
            skipping = depth;
            return;
        } else {
            Fail((depth == 2 ? std::wstring(L"the BlockMap") : quotedName) + L" holds a <" + name.Qualified() +
                 L"> element" + NamespaceText(name.uri));
        }
        CheckAttributes(attributes);
    }

    void End() {
        if (skipping == depth) {
            skipping = 0;
        } else if (skipping == 0 && depth == 2 && inFile) {
            EndFile();
        }
        --depth;
    }

    static std::wstring NamespaceText(std::string_view uri) {
        if (uri == kBlockMapNamespace || uri == kBlockMap2021Namespace) {
            return {};
        }
        return uri.empty() ? std::wstring(L" without a namespace")
                           : L" of namespace \"" + FromUtf8Lossy(uri) + L"\" that it does not list as ignorable";
    }

    // Namespaced attributes that are neither known nor ignorable; those without
    // a namespace that the reader does not use are let be, as they always were.
    void CheckAttributes(const XML_Char** attributes) const {
        for (; attributes[0] != nullptr; attributes += 2) {
            const Name attribute(attributes[0]);
            if (!attribute.uri.empty() && !ignorable.contains(std::string(attribute.uri))) {
                Fail(L"an attribute " + attribute.Qualified() + NamespaceText(attribute.uri));
            }
        }
    }

    // The value of an attribute without a namespace.
    static std::optional<std::string_view> Attribute(const XML_Char** attributes, std::string_view name) {
        for (; attributes[0] != nullptr; attributes += 2) {
            if (name == attributes[0]) {
                return attributes[1];
            }
        }
        return std::nullopt;
    }

    void StartRoot(const Name& name, const XML_Char** attributes) {
        if (!name.Is("BlockMap")) {
            Fail(L"the root element is <" + name.Qualified() + L"> in namespace \"" + FromUtf8Lossy(name.uri) +
                 L"\", not a block map's <BlockMap>");
        }
        const auto hashMethod = Attribute(attributes, "HashMethod");
        const auto* known = std::find_if(std::begin(kHashMethods), std::end(kHashMethods),
                                         [&](const KnownMethod& method) { return method.uri == hashMethod; });
        if (known == std::end(kHashMethods)) {
            Fail(L"its HashMethod \"" + FromUtf8Lossy(hashMethod.value_or("")) +
                 L"\" is not SHA-256, SHA-384 or SHA-512");
        }
        document.method = known->method;
        digestSize = DigestSize(known->method);
        const std::string_view prefixes = Attribute(attributes, "IgnorableNamespaces").value_or("");
        for (std::size_t at = 0; at < prefixes.size();) {
            if (IsXmlSpace(prefixes[at])) {
                ++at;
                continue;
            }
            std::size_t end = at;
            while (end < prefixes.size() && !IsXmlSpace(prefixes[end])) {
                ++end;
            }
            const std::string prefix(prefixes.substr(at, end - at));
            const auto declared = rootPrefixes.find(prefix);
            if (declared == rootPrefixes.end() || prefix.empty()) {
                Fail(L"its IgnorableNamespaces names a prefix \"" + FromUtf8Lossy(prefix) +
                     L"\" that the root does not declare");
            }
            ignorable.insert(declared->second);
            at = end;
        }
        // The block map's own namespace cannot be ignored away.
        ignorable.erase(std::string(kBlockMapNamespace));
        CheckAttributes(attributes);
    }

    void StartFile(const XML_Char** attributes) {
        const std::wstring which = L"file " + std::to_wstring(document.files.size() + 1);
        file = BlockMapFile{};
        inFile = true;
        blocks = 0;
        const auto name = Attribute(attributes, "Name");
        if (!name) {
            Fail(which + L" has no Name");
        }
        fileName = *name;
        std::replace(fileName.begin(), fileName.end(), '\\', '/');
        file.name = fileName;
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
        // No local header is shorter than its 30 fixed bytes.
        if (!lfhSize || *lfhSize < 30) {
            Fail(quotedName + L" has no valid LfhSize");
        }
        file.lfhSize = *lfhSize;
        expectedBlocks = file.BlockCount();
        file.blockHashes.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(expectedBlocks, 4096)) * digestSize);
    }

    // Base64 of one digest of the block map's method, or nullopt.
    std::optional<std::vector<std::uint8_t>> HashOf(const XML_Char** attributes) const {
        auto hash = DecodeBase64(Attribute(attributes, "Hash").value_or(""));
        if (!hash || hash->size() != digestSize) {
            return std::nullopt;
        }
        return hash;
    }

    std::wstring DigestText() const { return L"the base64 of " + std::to_wstring(digestSize) + L" bytes"; }

    void AddBlock(const XML_Char** attributes) {
        if (blocks >= expectedBlocks) {
            Fail(quotedName + L" has more than the " + std::to_wstring(expectedBlocks) + L" blocks its size needs");
        }
        const auto hash = HashOf(attributes);
        if (!hash) {
            Fail(quotedName + L" has a block whose Hash is not " + DigestText());
        }
        // Only stored blocks go without their compressed size, and a file is
        // stored or deflated as a whole.
        const auto compressedText = Attribute(attributes, "Size");
        const auto compressed = ParseNumber<std::uint32_t>(compressedText.value_or(""));
        if (compressedText && !compressed) {
            Fail(quotedName + L" has a block whose Size is not a number");
        }
        if (blocks > 0 && compressed.has_value() != file.compressedSize.has_value()) {
            Fail(quotedName + L" has blocks with and without a Size");
        }
        if (compressed) {
            file.compressedSize = file.compressedSize.value_or(0) + *compressed;
            file.blockSizes.push_back(*compressed);
        }
        file.blockHashes.insert(file.blockHashes.end(), hash->begin(), hash->end());
        ++blocks;
    }

    void AddFileHash(const XML_Char** attributes) {
        if (file.fileHash) {
            Fail(quotedName + L" has more than one FileHash");
        }
        const auto hash = HashOf(attributes);
        if (!hash) {
            Fail(quotedName + L" has a FileHash whose Hash is not " + DigestText());
        }
        file.fileHash = Digest(*hash);
    }

    void EndFile() {
        inFile = false;
        if (blocks != expectedBlocks) {
            Fail(quotedName + L" has " + std::to_wstring(blocks) + L" blocks, its size needs " +
                 std::to_wstring(expectedBlocks));
        }
        file.blockHashes.shrink_to_fit();
        document.files.Add(std::move(file));
    }

    // Once all files are in: a set of every folded name would cost more than the files.
    void CheckNamesApart() const {
        const FoldedNames folded(document.files.size(),
                                 [this](std::size_t index) { return document.files[index].name; });
        if (const auto repeat = folded.FirstRepeat()) {
            Fail(L"file \"" + FromUtf8Lossy(document.files[*repeat].name) + L"\" is listed more than once");
        }
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
    static void OnNamespace(void* self, const XML_Char* prefix, const XML_Char* uri) {
        Guarded(self, [&](State& state) { state.DeclareNamespace(prefix, uri); });
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

BlockMapFiles::BlockMapFiles(const BlockMapFiles& other) {
    m_files.reserve(other.size());
    for (const BlockMapFile& file : other) {
        Add(file);
    }
}

BlockMapFiles& BlockMapFiles::operator=(const BlockMapFiles& other) {
    if (this != &other) {
        *this = BlockMapFiles(other);
    }
    return *this;
}

void BlockMapFiles::Add(BlockMapFile file) {
    file.name = m_names.Add(file.name);
    m_files.push_back(std::move(file));
}

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
    XML_SetStartNamespaceDeclHandler(parser, &State::OnNamespace);
}

BlockMapReader::~BlockMapReader() = default;

void BlockMapReader::Feed(std::string_view bytes) {
    while (!bytes.empty()) {
        const int size = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
        m_state->Parse(bytes.data(), size, false);
        bytes.remove_prefix(static_cast<std::size_t>(size));
    }
}

void BlockMapReader::ExpectFiles(std::size_t count) { m_state->document.files.Reserve(count); }

BlockMapDocument BlockMapReader::Finish() {
    m_state->Parse(nullptr, 0, true);
    m_state->CheckNamesApart();
    return std::move(m_state->document);
}

BlockMapDocument ReadBlockMap(std::string_view bytes) {
    BlockMapReader reader;
    reader.Feed(bytes);
    return reader.Finish();
}

}  // namespace platform::deployment::local
