// appxpack: packs a folder into a package file with a generated manifest and
// block map, or packages into a bundle; signed when given a certificate and its key.
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <string>
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

int Run(int argc, char** argv) {
    namespace po = boost::program_options;
    packaging::Identity identity;
    std::string out;
    std::string sourceDir;
    std::vector<std::string> bundleParts;
    std::string signCert;
    std::string signKey;
    std::vector<std::string> signChain;
    po::options_description options("appxpack --name N --publisher P --version V [options] --out pkg.appx <source dir>");
    options.add_options()
        ("help,h", "show this help")
        ("name", po::value(&identity.name)->required(), "package name")
        ("publisher", po::value(&identity.publisher)->required(), "publisher, e.g. \"CN=Example\"")
        ("version", po::value(&identity.version)->required(), "version a.b.c.d")
        ("arch", po::value(&identity.architecture)->default_value("neutral"), "x86, x64, arm, arm64 or neutral")
        ("resource-id", po::value(&identity.resourceId), "resource id")
        ("out", po::value(&out)->required(), "package file to write")
        ("source", po::value(&sourceDir), "folder whose files become the payload")
        ("bundle-package", po::value(&bundleParts)->composing(),
         "instead of a source folder, a package of the bundle to write: FILE@ARCH[@RESOURCE-ID[@LANG,...]] (repeatable)")
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
    if (!std::regex_match(identity.version, std::regex(R"(\d+\.\d+\.\d+\.\d+)"))) {
        throw std::runtime_error("the version must be four numbers separated by dots: " + identity.version);
    }
    packaging::PackageOptions packageOptions;
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
    if (!bundleParts.empty()) {
        std::vector<packaging::BundledPackageFile> packages;
        for (const std::string& part : bundleParts) {
            packages.push_back(BundlePart(part, identity));
        }
        packaging::WriteBundle(out, identity, packages, packageOptions);
        return 0;
    }
    if (sourceDir.empty()) {
        throw std::runtime_error("a source folder or --bundle-package is needed");
    }
    packaging::WritePackage(out, identity, packaging::PayloadFromDirectory(sourceDir), packageOptions);
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
