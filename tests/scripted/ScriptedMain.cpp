// appdeploy with the scripted service in place of the local store, for
// end-to-end transcripts. The script is a file named by APPDEPLOY_SCRIPT:
//   request <Operation> [progress=10,50] [end=Completed|Error|Canceled|Fail]
//           [code=0x...] [extended=0x...] [registered=true|false] [raise=0x...] [text=rest of line]
//   lookup <Operation> [full names...]
//   lookup-failure <Operation> 0x...
//   volume-failure 0x...
//   no-service                       (activation fails with "Class not registered")
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/Entry.h"
#include "report/Console.h"
#include "tests/support/ScriptedPackageManager.h"

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

platform::hresult Code(const std::string& text) {
    return static_cast<platform::hresult>(std::stoul(text, nullptr, 0));
}

test_support::ScriptedRequest ParseRequest(std::istringstream& words) {
    test_support::ScriptedRequest request;
    std::string word;
    while (words >> word) {
        const auto equals = word.find('=');
        const std::string key = word.substr(0, equals);
        std::string value = equals == std::string::npos ? std::string() : word.substr(equals + 1);
        if (key == "progress") {
            std::istringstream list(value);
            for (std::string item; std::getline(list, item, ',');) {
                request.progress.push_back(static_cast<std::uint32_t>(std::stoul(item)));
            }
        } else if (key == "end") {
            using End = test_support::ScriptedRequest::End;
            request.end = value == "Error" ? End::Error : value == "Canceled" ? End::Canceled : value == "Fail" ? End::Fail : End::Completed;
        } else if (key == "code") {
            request.errorCode = Code(value);
        } else if (key == "extended") {
            request.extendedErrorCode = Code(value);
        } else if (key == "registered") {
            request.isRegistered = value == "true";
        } else if (key == "raise") {
            request.raiseAtCall = Code(value);
        } else if (key == "text") {
            std::string rest;
            std::getline(words, rest);
            request.errorText = Wide(value + rest);
        }
    }
    return request;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    test_support::ScopedScriptedService scripted;
    std::optional<platform::deployment::ScopedPackageManagerActivation> noService;
    if (const char* path = std::getenv("APPDEPLOY_SCRIPT")) {
        std::ifstream script(path);
        for (std::string line; std::getline(script, line);) {
            std::istringstream words(line);
            std::string verb, operation;
            words >> verb;
            if (verb == "request" && words >> operation) {
                scripted.Service().Script(Wide(operation), ParseRequest(words));
            } else if (verb == "lookup" && words >> operation) {
                std::vector<std::wstring> names;
                for (std::string name; words >> name;) {
                    names.push_back(Wide(name));
                }
                scripted.Service().ScriptLookup(Wide(operation), names);
            } else if (verb == "lookup-failure" && words >> operation) {
                std::string code;
                words >> code;
                scripted.Service().ScriptLookupFailure(Wide(operation), Code(code));
            } else if (verb == "volume-failure") {
                std::string code;
                words >> code;
                scripted.Service().ScriptVolume(Code(code));
            } else if (verb == "no-service") {
                noService.emplace([]() -> std::shared_ptr<platform::deployment::IPackageManager> { return nullptr; });
            }
        }
    }
    return app::Main(argc, argv, std::cout);
}
