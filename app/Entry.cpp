#include "app/Entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include <boost/program_options/errors.hpp>

#include "app/Options.h"
#include "app/WaitForRun.h"
#include "platform/Apartment.h"
#include "platform/Error.h"
#include "platform/Utf8.h"
#include "report/Console.h"
#include "report/LogError.h"

namespace app {
namespace {

// A library's narrow text as wide text: UTF-8 when it is, otherwise byte by
// byte with every non-ASCII byte replaced, so nothing here can fail but memory.
std::wstring Widen(std::string_view text) {
    if (auto decoded = platform::FromUtf8(text)) {
        return *std::move(decoded);
    }
    std::wstring wide;
    wide.reserve(text.size());
    for (const char c : text) {
        wide += static_cast<unsigned char>(c) < 0x80 ? static_cast<wchar_t>(c) : L'\uFFFD';
    }
    return wide;
}

// One line, written at once, so that nothing from another thread splits it.
void ReportLine(std::wstring_view prefix, std::string_view what) noexcept {
    try {
        std::wstring line(prefix);
        line += Widen(what);
        line += L'\n';
        report::Console() << line;
    } catch (...) {
        // Without memory for the text the line still says what kind of failure ended the run.
        report::Console() << prefix << L'\n';
    }
}

// With a standard descriptor closed, the next file the run opens would take
// its number and receive the console text; /dev/null keeps the numbers taken.
void KeepStandardDescriptorsTaken() noexcept {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int opened = ::open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                ::dup2(opened, fd);
                ::close(opened);
            }
        }
    }
}

// The option library fills its message by replacing placeholders such as
// "%value%" until none is left, so a value that holds a placeholder itself
// never ends. Its percent signs are shown as full-width ones instead.
struct SubstitutionAccess : boost::program_options::error_with_option_name {
    static auto Substitutions() { return &SubstitutionAccess::m_substitutions; }
};

void DefuseSubstitutions(boost::program_options::error_with_option_name& error) {
    for (auto& [name, value] : error.*SubstitutionAccess::Substitutions()) {
        std::string safe;
        for (const char c : value) {
            safe += c == '%' ? std::string("\xEF\xBC\x85") : std::string(1, c);
        }
        value = std::move(safe);
    }
}

int Run(int argc, char** argv, std::ostream& helpOut) {
    if (const platform::hresult result = platform::InitializeApartment(); platform::Failed(result)) {
        platform::Throw(result);
    }

    Options options;
    bool parsed = false;
    try {
        parsed = options.Parse(argc, argv, helpOut);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (boost::program_options::error_with_option_name& error) {
        DefuseSubstitutions(error);
        ReportLine(L"Invalid command line: ", error.what());
        return 1;
    } catch (const std::exception& error) {
        // The option library's errors, and a value that is not valid in the
        // local 8-bit encoding, raised as the library would: a plain logic error.
        ReportLine(L"Invalid command line: ", error.what());
        return 1;
    }
    if (!parsed) {
        return 1;
    }

    if (options.Values()["help"].as<bool>()) {
        helpOut << options.Description() << "\n";
        return 0;
    }

    auto& console = report::Console();
    console << L"App installer file URI: " << options.AppInstallerFileUri() << L'\n';
    console << L"Provision for all users: " << options.ProvisionAllUsers() << L'\n';
    console << L"Add or remove: " << (options.Remove() ? L"remove" : L"add") << L'\n';
    console << L"Package family name: " << options.PackageFamilyName() << L'\n';

    return WaitForRun(options);
}

}  // namespace

int Main(int argc, char** argv, std::ostream& helpOut) {
    KeepStandardDescriptorsTaken();
    try {
        return Run(argc, argv, helpOut);
    } catch (const platform::PlatformError& error) {
        report::LogError(L"appdeploy", error);
    } catch (const std::bad_alloc&) {
        report::Console() << L"appdeploy error: out of memory\n";
    } catch (const std::exception& error) {
        ReportLine(L"appdeploy error: ", error.what());
    } catch (...) {
        report::Console() << L"appdeploy error: unknown failure\n";
    }
    return 1;
}

}  // namespace app
