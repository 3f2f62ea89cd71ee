#include "app/LocalEncoding.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace app {
namespace {

constexpr const char* kAscii = "ANSI_X3.4-1968";

struct LocaleDeleter {
    void operator()(locale_t locale) const noexcept { ::freelocale(locale); }
};

struct ConverterDeleter {
    void operator()(iconv_t converter) const noexcept { ::iconv_close(converter); }
};

bool IsSet(const char* value) { return value != nullptr && *value != '\0'; }

std::string CodesetInName(const std::string& localeName) {
    const auto dot = localeName.find('.');
    if (dot == std::string::npos) {
        return {};
    }
    return localeName.substr(dot + 1, localeName.find('@', dot) - dot - 1);
}

}  // namespace

std::string EncodingLocaleName(const char* lcAll, const char* lcCtype, const char* lang) {
    for (const char* value : {lcAll, lcCtype, lang}) {
        if (IsSet(value)) {
            return value;
        }
    }
    return "C";
}

LocalEncoding::LocalEncoding(const std::string& localeName) {
    // A locale object of its own: the process's locale stays the classic one.
    const std::unique_ptr<std::remove_pointer_t<locale_t>, LocaleDeleter> locale(
        ::newlocale(LC_CTYPE_MASK, localeName.c_str(), static_cast<locale_t>(nullptr)));
    if (locale) {
        m_codeset = ::nl_langinfo_l(CODESET, locale.get());
    } else {
        m_codeset = CodesetInName(localeName);
    }
    if (m_codeset.empty()) {
        m_codeset = kAscii;
    }
}

LocalEncoding LocalEncoding::FromEnvironment() {
    return LocalEncoding(EncodingLocaleName(std::getenv("LC_ALL"), std::getenv("LC_CTYPE"), std::getenv("LANG")));
}

std::optional<std::string> LocalEncoding::ToUtf8(std::string_view text) const {
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        return std::string(text);  // the same in every encoding a locale can have here
    }
    const iconv_t opened = ::iconv_open("UTF-8", m_codeset.c_str());
    if (opened == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;  // an encoding the system cannot convert from
    }
    const std::unique_ptr<std::remove_pointer_t<iconv_t>, ConverterDeleter> converter(opened);
    std::string input(text);
    char* in = input.data();
    std::size_t inLeft = input.size();
    std::string output(input.size() * 4 + 16, '\0');
    std::size_t written = 0;
    while (inLeft > 0) {
        char* out = output.data() + written;
        std::size_t outLeft = output.size() - written;
        const std::size_t result = ::iconv(converter.get(), &in, &inLeft, &out, &outLeft);
        written = output.size() - outLeft;
        if (result != static_cast<std::size_t>(-1)) {
            break;
        }
        if (errno == E2BIG) {
            output.resize(output.size() * 2);
        } else if (errno == ENOMEM) {
            throw std::bad_alloc();
        } else {
            return std::nullopt;  // an invalid or incomplete sequence
        }
    }
    output.resize(written);
    return output;
}

}  // namespace app
