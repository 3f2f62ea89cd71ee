// Replays every kept fuzz input, the seed corpora and the inputs that once made a
// target fail, through the same target functions the fuzzers run, so that a
// fixed fault stays fixed and the seeds stay readable in every build.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/targets/FuzzTargets.h"

namespace fuzz {

void PrintTo(const Target& target, std::ostream* out) { *out << target.name; }

}  // namespace fuzz

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> Inputs(const char* kind, const std::string& target) {
    const fs::path folder = fs::path(APPDEPLOY_SOURCE_DIR) / "fuzz" / kind / target;
    std::vector<fs::path> files;
    if (fs::is_directory(folder)) {
        for (const auto& item : fs::directory_iterator(folder)) {
            if (item.is_regular_file() && item.path().filename().string().front() != '.') {
                files.push_back(item.path());
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every kept input takes milliseconds; one that runs this long hangs.
constexpr std::chrono::seconds kHang{20};

// Ends the process, naming the input, when an input runs into a hang: a stuck
// call cannot be interrupted, and a clear failure beats the suite's time-out.
class Watchdog {
public:
    explicit Watchdog(std::string input) : m_input(std::move(input)), m_thread([this] { Watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(m_lock);
            m_done = true;
        }
        m_finished.notify_one();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    void Watch() {
        std::unique_lock lock(m_lock);
        if (!m_finished.wait_for(lock, kHang, [this] { return m_done; })) {
            std::fprintf(stderr, "fuzz input %s hangs: still running after %lld s\n", m_input.c_str(),
                         static_cast<long long>(kHang.count()));
            std::abort();
        }
    }

    std::string m_input;
    std::mutex m_lock;
    std::condition_variable m_finished;
    bool m_done = false;
    std::thread m_thread;
};

void Replay(const fuzz::Target& target, const std::vector<fs::path>& files) {
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        const std::string bytes = ReadBytes(file);
        const Watchdog watchdog(file.string());
        // A target catches what its reader is meant to raise; anything else
        // escaping is a fault, as is a crash or a sanitizer report.
        EXPECT_NO_THROW(target.function(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    }
}

class FuzzReplayTest : public testing::TestWithParam<fuzz::Target> {};

TEST_P(FuzzReplayTest, SeedCorpus) {
    const auto files = Inputs("corpus", GetParam().name);
    ASSERT_FALSE(files.empty()) << "no seed corpus for " << GetParam().name;
    Replay(GetParam(), files);
}

TEST_P(FuzzReplayTest, Regressions) {
    Replay(GetParam(), Inputs("regressions", GetParam().name));
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplayTest, testing::ValuesIn(fuzz::Targets().begin(), fuzz::Targets().end()),
                         [](const testing::TestParamInfo<fuzz::Target>& info) { return std::string(info.param.name); });

}  // namespace
