// appxpack: packs a folder into a package file with a generated manifest and block map.
#include <exception>
#include <iostream>
#include <regex>
#include <string>

#include <boost/program_options.hpp>

#include "tools/packaging/PackageWriter.h"

namespace {

int Run(int argc, char** argv) {
    namespace po = boost::program_options;
    packaging::Identity identity;
    std::string out;
    std::string sourceDir;
    po::options_description options("appxpack --name N --publisher P --version V [options] --out pkg.appx <source dir>");
    options.add_options()
        ("help,h", "show this help")
        ("name", po::value(&identity.name)->required(), "package name")
        ("publisher", po::value(&identity.publisher)->required(), "publisher, e.g. \"CN=Example\"")
        ("version", po::value(&identity.version)->required(), "version a.b.c.d")
        ("arch", po::value(&identity.architecture)->default_value("neutral"), "x86, x64, arm, arm64 or neutral")
        ("resource-id", po::value(&identity.resourceId), "resource id")
        ("out", po::value(&out)->required(), "package file to write")
        ("source", po::value(&sourceDir)->required(), "folder whose files become the payload");
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
    packaging::WritePackage(out, identity, packaging::PayloadFromDirectory(sourceDir));
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
