// appxpack: packs a folder into a package file, with the folder's own
// manifest or one made for the identity given, or packages into a bundle;
// signed when given a certificate and its key.
#include <algorithm>
#include <cctype>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include <boost/program_options.hpp>

#include "tools/packaging/BundleWriter.h"
#include "tools/packaging/PackageWriter.h"

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (auto at = text.find(separator); at != std::string::npos; at = text.find(separator, start)) {
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

// FILE@ARCH[@RESOURCE-ID[@LANG,LANG...]]: a package of the bundle's name,
// publisher and version; one with a resource id is a resource package.
packaging::BundledPackageFile BundlePart(const std::string& text, const packaging::Identity& bundle) {
    const auto parts = Split(text, '@');
    if (parts.size() < 2 || parts.size() > 4 || parts[0].empty()) {
        throw std::runtime_error("a bundle package is FILE@ARCH[@RESOURCE-ID[@LANG,...]], not " + text);
    }
    packaging::BundledPackageFile package{parts[0], bundle, true, {}};
    package.identity.architecture = parts[1];
    if (parts.size() > 2) {
        package.identity.resourceId = parts[2];
        package.application = parts[2].empty();
    }
    if (parts.size() > 3) {
        package.languages = Split(parts[3], ',');
    }
    return package;
}

std::string ReadText(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.is_open() || in.bad()) {
        throw std::runtime_error("cannot read " + file);
    }
    return text;
}

// The identity a source folder's own manifest declares, checked against
// the options that name part of it.
packaging::Identity CheckedIdentity(const std::string& manifestFile, const packaging::Identity& given,
                                    const boost::program_options::variables_map& values) {
    const packaging::Identity identity = packaging::IdentityOfManifest(ReadText(manifestFile));
    for (const auto& [option, ours, theirs] : {std::tuple{"name", &given.name, &identity.name},
                                               {"publisher", &given.publisher, &identity.publisher},
                                               {"version", &given.version, &identity.version},
                                               {"arch", &given.architecture, &identity.architecture},
                                               {"resource-id", &given.resourceId, &identity.resourceId}}) {
        if (values.count(option) != 0 && !values[option].defaulted() && *ours != *theirs) {
            throw std::runtime_error(std::string("--") + option + " " + *ours + " is not the manifest's " + *theirs);
        }
    }
    return identity;
}

int Run(int argc, char** argv) {
    namespace po = boost::program_options;
    packaging::Identity identity;
    std::string out;
    std::string sourceDir;
    std::vector<std::string> bundleParts;
    bool flat = false;
    std::string signCert;
    std::string signKey;
    std::vector<std::string> signChain;
    std::string hashMethod;
    po::options_description options(
        "appxpack [--name N --publisher P --version V] [options] --out pkg.appx <source dir>\n"
        "appxpack --name N --publisher P --version V [options] --out app.appxbundle --bundle-package FILE@ARCH...\n\n"
        "A source folder's own AppxManifest.xml is the package's manifest, as the platform's packer takes it;\n"
        "the identity is then the manifest's, and --name, --publisher, --version, --arch and --resource-id,\n"
        "when given, must agree with it. Without one, a manifest is made for the identity they give\n"
        "(--name, --publisher and --version needed). The packer's own files in the folder (AppxBlockMap.xml,\n"
        "[Content_Types].xml, AppxSignature.p7x, AppxMetadata/CodeIntegrity.cat) and hidden (dot) files\n"
        "are left out, with a warning.\n\nOptions");
    options.add_options()
        ("help,h", "show this help")
        ("name", po::value(&identity.name), "package name")
        ("publisher", po::value(&identity.publisher), "publisher, e.g. \"CN=Example\"")
        ("version", po::value(&identity.version), "version a.b.c.d")
        ("arch", po::value(&identity.architecture)->default_value("neutral"), "x86, x64, arm, arm64 or neutral")
        ("resource-id", po::value(&identity.resourceId), "resource id")
        ("out", po::value(&out)->required(), "package file to write")
        ("source", po::value(&sourceDir), "folder whose files become the payload")
        ("bundle-package", po::value(&bundleParts)->composing(),
         "instead of a source folder, a package of the bundle to write: FILE@ARCH[@RESOURCE-ID[@LANG,...]] (repeatable)")
        ("flat", po::bool_switch(&flat),
         "write a flat bundle, which names its packages instead of holding them: publish each beside it, signed")
        ("hash", po::value(&hashMethod)->default_value("SHA256"),
         "the block map's hash method, which a signature's digests follow: SHA256, SHA384 or SHA512")
        ("sign-cert", po::value(&signCert),
         "sign with this code signing certificate (PEM); its subject must be the publisher")
        ("sign-key", po::value(&signKey), "the signing certificate's private key (PEM, not encrypted)")
        ("sign-chain", po::value(&signChain)->composing(),
         "intermediate certificates to include in the signature (PEM; repeatable)");
    po::positional_options_description positional;
    positional.add("source", 1);

    po::variables_map values;
    po::store(po::command_line_parser(argc, argv).options(options).positional(positional).run(), values);
    if (values.count("help") != 0) {
        std::cout << options;
        return 0;
    }
    po::notify(values);
    packaging::PackageOptions packageOptions;
    const std::map<std::string, packaging::HashMethod> methods{{"SHA256", packaging::HashMethod::Sha256},
                                                               {"SHA384", packaging::HashMethod::Sha384},
                                                               {"SHA512", packaging::HashMethod::Sha512}};
    std::string method = hashMethod;
    std::transform(method.begin(), method.end(), method.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (!methods.contains(method)) {
        throw std::runtime_error("the hash method is SHA256, SHA384 or SHA512, not " + hashMethod);
    }
    packageOptions.hashMethod = methods.at(method);
    if (!signCert.empty() || !signKey.empty() || !signChain.empty()) {
        if (signCert.empty() || signKey.empty()) {
            throw std::runtime_error("signing needs both --sign-cert and --sign-key");
        }
        packaging::Signer signer{ReadText(signCert), ReadText(signKey), {}};
        for (const std::string& file : signChain) {
            signer.chainPem.push_back(ReadText(file));
        }
        packageOptions.signer = std::move(signer);
    }
    const auto requireIdentity = [&] {
        for (const char* option : {"name", "publisher", "version"}) {
            if (values.count(option) == 0) {
                throw std::runtime_error(std::string("--") + option + " is needed" +
                                         (bundleParts.empty() ? " when the source folder has no AppxManifest.xml"
                                                              : ""));
            }
        }
        if (!std::regex_match(identity.version, std::regex(R"(\d+\.\d+\.\d+\.\d+)"))) {
            throw std::runtime_error("the version must be four numbers separated by dots: " + identity.version);
        }
    };
    if (!bundleParts.empty()) {
        requireIdentity();
        std::vector<packaging::BundledPackageFile> packages;
        for (const std::string& part : bundleParts) {
            packages.push_back(BundlePart(part, identity));
        }
        if (flat) {
            packaging::WriteFlatBundle(out, identity, packages, packageOptions);
        } else {
            packaging::WriteBundle(out, identity, packages, packageOptions);
        }
        return 0;
    }
    if (sourceDir.empty()) {
        throw std::runtime_error("a source folder or --bundle-package is needed");
    }
    const packaging::SourceFolder folder = packaging::ReadSourceFolder(sourceDir);
    for (const std::string& skipped : folder.skipped) {
        std::cerr << "appxpack: warning: leaving out the " << skipped << '\n';
    }
    if (folder.manifest) {
        // Checked before anything is written.
        CheckedIdentity(folder.manifest->string(), identity, values);
        packaging::WritePackageWithManifest(out, *folder.manifest, folder.payload, packageOptions);
        return 0;
    }
    requireIdentity();
    packaging::WritePackage(out, identity, folder.payload, packageOptions);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "appxpack: " << error.what() << '\n';
        return 1;
    }
}
