#include "tools/packaging/PartKinds.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <vector>

namespace packaging {

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

std::string_view ExtensionOf(std::string_view name) {
    const auto slash = name.rfind('/');
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
        return {};
    }
    return name.substr(dot + 1);
}

// The kinds of file that the packer stores rather than deflates: already
// compressed ones. Found by packing one file of every kind with it.
bool StoredKind(std::string_view extension) {
    static const std::vector<std::string_view> kStoredKinds = {
        "appx", "avi", "cab",  "docm", "docx", "dotm", "dotx", "gif",  "gz",   "jpeg", "jpg",  "m4a",
        "mov",  "mp3", "mpeg", "mpg",  "png",  "potm", "potx", "ppam", "ppsm", "ppsx", "pptm", "pptx",
        "rar",  "tar", "wma",  "wmv",  "xap",  "xlam", "xlsb", "xlsm", "xlsx", "xltm", "xltx", "zip"};
    return std::find(kStoredKinds.begin(), kStoredKinds.end(), Lower(extension)) != kStoredKinds.end();
}

// The packer's content type for an extension, found the same way; the
// packer gives every extension it does not know application/octet-stream.
const char* DefaultContentType(std::string_view extension) {
    static const std::map<std::string, const char*, std::less<>> kTypes = {
        {"aiff", "audio/x-aiff"},
        {"appx", "application/vnd.ms-appx"},
        {"atom", "application/atom+xml"},
        {"au", "audio/basic"},
        {"avi", "video/avi"},
        {"b64", "application/base64"},
        {"bmp", "image/bmp"},
        {"c", "text/plain"},
        {"cab", "application/vnd.ms-cab-compressed"},
        {"cpp", "text/plain"},
        {"cs", "text/plain"},
        {"css", "text/css"},
        {"csv", "text/csv"},
        {"dll", "application/x-msdownload"},
        {"doc", "application/msword"},
        {"docm", "application/vnd.ms-word.document.macroenabled.12"},
        {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"dot", "application/msword"},
        {"dotm", "application/vnd.ms-word.document.macroenabled.12"},
        {"dotx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"dtd", "application/xml-dtd"},
        {"emf", "image/x-emf"},
        {"exe", "application/x-msdownload"},
        {"gif", "image/gif"},
        {"gz", "application/x-gzip-compressed"},
        {"h", "text/plain"},
        {"htm", "text/html"},
        {"html", "text/html"},
        {"ico", "image/vnd.microsoft.icon"},
        {"java", "application/java"},
        {"jpeg", "image/jpeg"},
        {"jpg", "image/jpeg"},
        {"js", "application/x-javascript"},
        {"json", "application/json"},
        {"m4a", "audio/mp4"},
        {"mid", "audio/mid"},
        {"mov", "video/quicktime"},
        {"mp3", "audio/mpeg"},
        {"mpeg", "video/mpeg"},
        {"mpg", "video/mpeg"},
        {"p7s", "application/x-pkcs7-signature"},
        {"pdf", "application/pdf"},
        {"png", "image/png"},
        {"pot", "application/vnd.ms-powerpoint"},
        {"potm", "application/vnd.ms-powerpoint.template.macroenabled.12"},
        {"potx", "application/vnd.openxmlformats-officedocument.presentationml.template"},
        {"ppa", "application/vnd.ms-powerpoint"},
        {"ppam", "application/vnd.ms-powerpoint.addin.macroenabled.12"},
        {"pps", "application/vnd.ms-powerpoint"},
        {"ppsm", "application/vnd.ms-powerpoint.slideshow.macroenabled.12"},
        {"ppsx", "application/vnd.openxmlformats-officedocument.presentationml.slideshow"},
        {"ppt", "application/vnd.ms-powerpoint"},
        {"pptm", "application/vnd.ms-powerpoint.presentation.macroenabled.12"},
        {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
        {"ps", "application/postscript"},
        {"rar", "application/x-rar-compressed"},
        {"rss", "application/rss+xml"},
        {"rtf", "text/richtext"},
        {"sct", "text/scriptlet"},
        {"svg", "image/svg+xml"},
        {"tar", "application/x-tar"},
        {"tif", "image/tiff"},
        {"tiff", "image/tiff"},
        {"txt", "text/plain"},
        {"wav", "audio/wav"},
        {"wma", "audio/x-ms-wma"},
        {"wmf", "image/x-wmf"},
        {"wmv", "video/x-ms-wmv"},
        {"xaml", "application/xaml+xml"},
        {"xap", "application/x-silverlight-app"},
        {"xbap", "application/x-ms-xbap"},
        {"xhtml", "application/xhtml+xml"},
        {"xla", "application/vnd.ms-excel"},
        {"xlam", "application/vnd.ms-excel.addin.macroenabled.12"},
        {"xls", "application/vnd.ms-excel"},
        {"xlsb", "application/vnd.ms-excel.sheet.binary.macroEnabled.12"},
        {"xlsm", "application/vnd.ms-excel.sheet.macroEnabled.12"},
        {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
        {"xlt", "application/vnd.ms-excel"},
        {"xltm", "application/vnd.ms-excel.template.macroEnabled.12"},
        {"xltx", "application/vnd.openxmlformats-officedocument.spreadsheetml.template"},
        {"xml", "text/xml"},
        {"xsd", "text/xml"},
        {"xsl", "application/xslt+xml"},
        {"xslt", "application/xslt+xml"},
        {"zip", "application/x-zip-compressed"},
    };
    const auto found = kTypes.find(Lower(extension));
    return found != kTypes.end() ? found->second : "application/octet-stream";
}

}  // namespace packaging
