#include <fcntl.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/Entry.h"
#include "fuzz/targets/FuzzTargets.h"
#include "fuzz/targets/Support.h"
#include "platform/Error.h"
#include "platform/deployment/PackageManager.h"
#include "report/Console.h"

namespace fuzz {
namespace {

namespace deployment = platform::deployment;

// Points the console stream at /dev/null for as long as it lives.
class DiscardConsole {
public:
    DiscardConsole() : m_previous(report::Console().Redirect(NullDescriptor())) {}
    ~DiscardConsole() { report::Console().Redirect(m_previous); }
    DiscardConsole(const DiscardConsole&) = delete;
    DiscardConsole& operator=(const DiscardConsole&) = delete;

private:
    static int NullDescriptor() {
        static const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        Require(fd >= 0, "/dev/null can be opened");
        return fd;
    }

    int m_previous;
};

}  // namespace

void FuzzCommandLine(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = AsText(data, size);
    std::vector<std::string> arguments{"appdeploy"};
    for (std::size_t start = 0; start <= bytes.size();) {
        auto end = bytes.find('\0', start);
        if (end == std::string_view::npos) {
            end = bytes.size();
        }
        arguments.emplace_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    // No deployment may really run: the service refuses to be activated.
    const deployment::ScopedPackageManagerActivation refuse([]() -> std::shared_ptr<deployment::IPackageManager> {
        throw platform::PlatformError(platform::kClassNotRegistered);
    });
    const DiscardConsole discard;
    std::ostream helpOut(nullptr);
    const int status = app::Main(static_cast<int>(arguments.size()), argv.data(), helpOut);
    Require(status == 0 || status == 1, "the exit status is 0 or 1");
}

}  // namespace fuzz
