// An argument vector built from strings, the help text the tool prints, and the
// settings it echoes before it starts.
#pragma once

#include "tests/support/ScopedEnvironment.h"

#include <stdlib.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace app_test {

// The option description as the option library lays it out: caption, then one
// entry per option, descriptions in the column that starts at 40.
inline const std::string kHelpText =
    "Allowed options:\n"
    "  -i [ --app-installer-file-uri ] arg (=https://quillmark.example/release-app/AppPackage.appinstaller)\n"
    "                                        Custom AppInstaller file URI\n"
    "  -f [ --package-family-name ] arg (=Oru.Quillmark.Vantor.App.Release_4kd8wq2zr7xbe)\n"
    "                                        Custom package family name\n"
    "  -p [ --provision-all-users ]          Provision for all users\n"
    "  -x [ --remove ]                       Remove package\n"
    "  -? [ --help ]                         produce help message\n";

// What a run uses when the command line names no AppInstaller file or family.
inline const std::string kDefaultUriUtf8 = "https://quillmark.example/release-app/AppPackage.appinstaller";
inline const std::string kDefaultFamilyUtf8 = "Oru.Quillmark.Vantor.App.Release_4kd8wq2zr7xbe";
inline const std::wstring kDefaultUri(kDefaultUriUtf8.begin(), kDefaultUriUtf8.end());
inline const std::wstring kDefaultFamily(kDefaultFamilyUtf8.begin(), kDefaultFamilyUtf8.end());

// The lines a run writes first: the settings it goes on with.
inline std::string Echo(const std::string& uri, bool allUsers, bool remove, const std::string& family) {
    return "App installer file URI: " + uri + "\nProvision for all users: " + (allUsers ? "true" : "false") +
           "\nAdd or remove: " + (remove ? "remove" : "add") + "\nPackage family name: " + family + "\n";
}

// argv as the runtime hands it over: the program name first, a null at the end.
class CommandLine {
public:
    explicit CommandLine(const std::vector<std::string>& args) : m_strings{"appdeploy"} {
        m_strings.insert(m_strings.end(), args.begin(), args.end());
        for (auto& s : m_strings) {
            m_pointers.push_back(s.data());
        }
        m_pointers.push_back(nullptr);
    }
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    int Argc() const { return static_cast<int>(m_strings.size()); }
    char** Argv() { return m_pointers.data(); }

private:
    std::vector<std::string> m_strings;
    std::vector<char*> m_pointers;
};

// Sets LC_ALL for the life of the object: the command line's values are in
// the encoding that the environment names.
class ScopedLcAll {
public:
    explicit ScopedLcAll(const char* name) { m_environment.Set("LC_ALL", name); }

private:
    test_support::ScopedEnvironment m_environment;
};

}  // namespace app_test
