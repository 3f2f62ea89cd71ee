// The local 8-bit encoding, the one that the environment names, in which
// the command line arrives.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace app {

// The locale that names the character encoding: the first of LC_ALL,
// LC_CTYPE and LANG that is set and not empty (each may be null), else "C".
std::string EncodingLocaleName(const char* lcAll, const char* lcCtype, const char* lang);

class LocalEncoding {
public:
    // The encoding of a locale, found without setting any locale of the
    // process: the codeset of the locale when the system has it, else the one
    // its name gives ("xx_YY.codeset@modifier"), else ASCII (as "C").
    explicit LocalEncoding(const std::string& localeName);
    // The encoding that the environment names.
    static LocalEncoding FromEnvironment();

    const std::string& Codeset() const noexcept { return m_codeset; }

    // The text as UTF-8; nullopt when it is not valid in the encoding.
    std::optional<std::string> ToUtf8(std::string_view text) const;

private:
    std::string m_codeset;
};

}  // namespace app
