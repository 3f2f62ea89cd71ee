#include "platform/deployment/local/format/Xml.h"

#include <expat.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <new>
#include <type_traits>

#include "platform/Utf8.h"

namespace platform::deployment::local::xml {
namespace {

struct ParserDeleter {
    void operator()(XML_Parser parser) const noexcept { XML_ParserFree(parser); }
};

// UTF-32, which expat does not read, as UTF-8.
std::string Utf32ToUtf8(std::string_view bytes, bool bigEndian) {
    std::string utf8;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        char32_t c = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const auto byte = static_cast<unsigned char>(bytes[i + (bigEndian ? j : 3 - j)]);
            c = (c << 8) | byte;
        }
        AppendUtf8(utf8, c);
    }
    return utf8;
}

// pugixml takes characters that XML does not allow, written out or as
// character references (and cuts a value at "&#0;"); expat, which conforms,
// refuses them. Read in the encoding pugixml found, as pugixml read it. The
// error text, or empty for a well-formed document.
std::string WellFormednessError(std::string_view bytes, pugi::xml_encoding encoding) {
    const char* name = "UTF-8";
    std::string transcoded;
    switch (encoding) {
        case pugi::encoding_utf16_le:
            name = "UTF-16LE";
            break;
        case pugi::encoding_utf16_be:
            name = "UTF-16BE";
            break;
        case pugi::encoding_latin1:
            name = "ISO-8859-1";
            break;
        case pugi::encoding_utf32_le:
        case pugi::encoding_utf32_be:
            transcoded = Utf32ToUtf8(bytes, encoding == pugi::encoding_utf32_be);
            bytes = transcoded;
            break;
        default:
            break;
    }
    const std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserDeleter> parser(XML_ParserCreate(name));
    if (!parser) {
        throw std::bad_alloc();
    }
    for (;;) {
        const int size = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
        const bool last = static_cast<std::size_t>(size) == bytes.size();
        if (XML_Parse(parser.get(), bytes.data(), size, last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
            if (XML_GetErrorCode(parser.get()) == XML_ERROR_NO_MEMORY) {
                throw std::bad_alloc();
            }
            return std::string(XML_ErrorString(XML_GetErrorCode(parser.get()))) + " at offset " +
                   std::to_string(XML_GetCurrentByteIndex(parser.get()));
        }
        if (last) {
            return {};
        }
        bytes.remove_prefix(static_cast<std::size_t>(size));
    }
}

}  // namespace

std::string Load(pugi::xml_document& document, std::string_view bytes) {
    const pugi::xml_parse_result result =
        document.load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_auto);
    if (!result) {
        return std::string(result.description()) + " at offset " + std::to_string(result.offset);
    }
    if (!document.document_element()) {
        return "no root element";
    }
    return WellFormednessError(bytes, result.encoding);
}

std::string NamespaceOf(pugi::xml_node element) {
    const std::string_view name = element.name();
    const auto colon = name.find(':');
    const std::string attributeName =
        colon == std::string_view::npos ? std::string("xmlns") : "xmlns:" + std::string(name.substr(0, colon));
    for (pugi::xml_node node = element; node && node.type() == pugi::node_element; node = node.parent()) {
        if (const pugi::xml_attribute declaration = node.attribute(attributeName.c_str())) {
            return declaration.value();
        }
    }
    return {};
}

std::string_view LocalName(pugi::xml_node element) {
    const std::string_view name = element.name();
    const auto colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::optional<std::string> Attribute(pugi::xml_node element, const char* name) {
    const pugi::xml_attribute attribute = element.attribute(name);
    if (!attribute) {
        return std::nullopt;
    }
    return std::string(attribute.value());
}

std::optional<PackageIdentity> ReadIdentity(pugi::xml_node element, std::wstring& fault) {
    // pugixml has already turned the document into UTF-8, so values decode cleanly.
    auto read = [&](const char* name, bool required) -> std::optional<std::wstring> {
        const auto value = Attribute(element, name);
        if (!value) {
            if (required) {
                fault = L"the " + FromUtf8Lossy(name) + L" attribute is missing";
            }
            return std::nullopt;
        }
        return FromUtf8Lossy(*value);
    };

    PackageIdentity identity;
    const auto name = read("Name", true);
    if (!name) {
        return std::nullopt;
    }
    if (!IsValidPackageName(*name)) {
        fault = L"the Name \"" + *name + L"\" is not 3 to 50 letters, digits, '.' or '-'";
        return std::nullopt;
    }
    identity.name = *name;

    const auto publisher = read("Publisher", true);
    if (!publisher) {
        return std::nullopt;
    }
    if (publisher->empty() || publisher->size() > 8192) {
        fault = L"the Publisher is empty or longer than 8192 characters";
        return std::nullopt;
    }
    identity.publisher = *publisher;

    const auto versionText = read("Version", true);
    if (!versionText) {
        return std::nullopt;
    }
    const auto version = Version::Parse(*versionText);
    if (!version) {
        fault = L"the Version \"" + *versionText + L"\" is not four numbers from 0 to 65535 separated by dots";
        return std::nullopt;
    }
    if (version->major == 0) {
        fault = L"the Version \"" + *versionText + L"\" has a major part of zero";
        return std::nullopt;
    }
    identity.version = *version;

    if (const auto architecture = read("ProcessorArchitecture", false)) {
        if (!IsValidArchitecture(*architecture)) {
            fault = L"the ProcessorArchitecture \"" + *architecture +
                    L"\" is not one of x86, x64, arm, arm64, x86a64 or neutral";
            return std::nullopt;
        }
        identity.architecture = *architecture;
    }

    if (const auto resourceId = read("ResourceId", false)) {
        if (!IsValidResourceId(*resourceId)) {
            fault = L"the ResourceId \"" + *resourceId + L"\" is not up to 30 letters, digits, '.' or '-'";
            return std::nullopt;
        }
        identity.resourceId = *resourceId;
    }
    return identity;
}

}  // namespace platform::deployment::local::xml
