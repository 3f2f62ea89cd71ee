#include "app/Options.h"

#include <stdexcept>

#include "app/LocalEncoding.h"
#include "platform/Utf8.h"
#include "report/Console.h"

namespace po = boost::program_options;

namespace app {
namespace {

constexpr const char* kDefaultAppInstallerFileUri = "https://quillmark.example/release-app/AppPackage.appinstaller";
constexpr const char* kDefaultPackageFamilyName = "Oru.Quillmark.Vantor.App.Release_4kd8wq2zr7xbe";

}  // namespace

Options::Options() : m_description("Allowed options") {
    m_description.add_options()
        ("app-installer-file-uri,i",
         po::wvalue<std::wstring>()->default_value(platform::FromUtf8Lossy(kDefaultAppInstallerFileUri),
                                                   kDefaultAppInstallerFileUri),
         "Custom AppInstaller file URI")
        ("package-family-name,f",
         po::wvalue<std::wstring>()->default_value(platform::FromUtf8Lossy(kDefaultPackageFamilyName),
                                                   kDefaultPackageFamilyName),
         "Custom package family name")
        ("provision-all-users,p", po::bool_switch(), "Provision for all users")
        ("remove,x", po::bool_switch(), "Remove package")
        ("help,?", po::bool_switch(), "produce help message");
}

bool Options::Parse(int argc, const char* const* argv, std::ostream& helpOut) {
    // A program can be started with no argument at all, not even its own name;
    // the library would then read before the vector.
    static const char* const kProgramOnly[] = {"appdeploy", nullptr};
    if (argc < 1 || argv == nullptr) {
        argc = 1;
        argv = kProgramOnly;
    }
    try {
        po::parsed_options parsed = po::parse_command_line(argc, argv, m_description);
        // The library would convert values from the process's locale, which
        // the tool leaves the classic one; the environment names the encoding.
        const LocalEncoding encoding = LocalEncoding::FromEnvironment();
        for (po::option& option : parsed.options) {
            if (option.string_key.empty()) {
                continue;  // a bare argument, ignored
            }
            for (std::string& value : option.value) {
                auto utf8 = encoding.ToUtf8(value);
                if (!utf8) {
                    throw std::logic_error("character conversion failed");  // as the library words it
                }
                value = std::move(*utf8);
            }
        }
        po::store(parsed, m_values, /*utf8=*/true);
        po::notify(m_values);
    } catch (const po::unknown_option&) {
        report::Console() << L"Invalid option";
        helpOut << m_description << "\n";
        return false;
    }
    return true;
}

std::wstring Options::AppInstallerFileUri() const { return m_values["app-installer-file-uri"].as<std::wstring>(); }

std::wstring Options::PackageFamilyName() const { return m_values["package-family-name"].as<std::wstring>(); }

bool Options::ProvisionAllUsers() const { return m_values["provision-all-users"].as<bool>(); }

bool Options::Remove() const { return m_values["remove"].as<bool>(); }

}  // namespace app
