// The command line: the option table, its parsing and the settings it yields.
#pragma once

#include <iostream>
#include <string>

#include <boost/program_options.hpp>

namespace app {

class Options {
public:
    Options();

    // Parses the narrow argument vector (argument 0 is the program). An
    // unrecognised option writes "Invalid option" on the console, the help text
    // on helpOut, and yields false; every other error of the option library
    // reaches the caller.
    bool Parse(int argc, const char* const* argv, std::ostream& helpOut = std::cout);

    const boost::program_options::options_description& Description() const noexcept { return m_description; }
    const boost::program_options::variables_map& Values() const noexcept { return m_values; }

    std::wstring AppInstallerFileUri() const;
    std::wstring PackageFamilyName() const;
    bool ProvisionAllUsers() const;
    bool Remove() const;

private:
    boost::program_options::options_description m_description;
    boost::program_options::variables_map m_values;
};

}  // namespace app
