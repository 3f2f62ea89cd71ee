// Runs a program as a user would and collects what it wrote and how it ended.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

struct ProcessResult {
    int exitStatus = -1;  // the exit code, or 128 + signal when killed by one
    std::string out;
    std::string err;
};

struct ProcessOptions {
    std::vector<std::pair<std::string, std::string>> env;  // set on top of this process's environment
    std::vector<std::string> unsetEnv;
    bool closeStderr = false;  // start the program with standard error closed
    std::string input;         // written to its standard input, then closed
    std::optional<std::chrono::milliseconds> killAfter;  // SIGKILL after this long
};

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

}  // namespace test_support
