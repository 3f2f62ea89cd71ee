// The package's [Content_Types].xml: the type of every part, by the extension
// of its name (Default) or by its whole name (Override).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace platform::deployment::local {

class ContentTypes {
public:
    // The type of a part (decoded, without a leading '/'), or nullopt when the
    // document gives it none. Names and extensions match in any ASCII case.
    std::optional<std::string_view> TypeOf(std::string_view partName) const;

private:
    friend ContentTypes ReadContentTypes(std::string_view bytes);

    std::unordered_map<std::string, std::string> m_byExtension;
    std::unordered_map<std::string, std::string> m_byPartName;
};

// Raises 0x80080206 with a text saying what is wrong for malformed XML, a root
// other than the content types' <Types>, another child element, a Default
// without an Extension or an Override whose PartName is not an absolute part
// name, a ContentType that is not a media type, or a second Default for one
// extension or Override for one part.
ContentTypes ReadContentTypes(std::string_view bytes);

}  // namespace platform::deployment::local
