// Helpers for tests of the local package store: temporary folders, packages and
// AppInstaller files built or served for a test, following a deployment request to its
// end, and a snapshot of a store's files and registry to compare.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Utf8.h"
#include "platform/deployment/PackageManager.h"
#include "platform/deployment/local/format/Names.h"
#include "tests/support/BrokenPackage.h"
#include "tests/support/HttpServer.h"
#include "tests/support/TestSigning.h"
#include "tools/packaging/AppInstallerWriter.h"
#include "tools/packaging/PackageWriter.h"

namespace store_testing {

namespace fs = std::filesystem;
using platform::AsyncStatus;
using platform::deployment::DeploymentOperation;
using platform::deployment::DeploymentResult;

// A fresh folder, deleted with the object.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "appdeploy-store-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& Path() const { return m_path; }
    fs::path operator/(const std::string& name) const { return m_path / name; }

private:
    fs::path m_path;
};

inline std::string FileUri(const fs::path& path) { return "file://" + path.string(); }

inline platform::deployment::local::PackageIdentity ToIdentity(const packaging::Identity& identity) {
    using platform::FromUtf8Lossy;
    platform::deployment::local::PackageIdentity result;
    result.name = FromUtf8Lossy(identity.name);
    result.publisher = FromUtf8Lossy(identity.publisher);
    result.version = *platform::deployment::local::Version::Parse(FromUtf8Lossy(identity.version));
    result.architecture = FromUtf8Lossy(identity.architecture);
    result.resourceId = FromUtf8Lossy(identity.resourceId);
    return result;
}

inline std::wstring FullNameOf(const packaging::Identity& identity) {
    return platform::deployment::local::FullName(ToIdentity(identity));
}
inline std::wstring FamilyNameOf(const packaging::Identity& identity) {
    return platform::deployment::local::FamilyName(ToIdentity(identity));
}

inline packaging::Identity SampleIdentity(const std::string& version = "1.0.0.0", const std::string& name = "Oru.Sample.App") {
    return packaging::Identity{name, "CN=Oru Sample, O=Oru, C=US", version, "x64", ""};
}

// The same sample as the store reads it.
inline platform::deployment::local::PackageIdentity SampleStoreIdentity(const std::string& version,
                                                                        const std::string& name = "Oru.Sample.App") {
    return ToIdentity(SampleIdentity(version, name));
}

inline std::vector<packaging::PayloadFile> SamplePayload(const std::string& tag = "one") {
    return {{"App.exe", std::string("binary of ") + tag, true},
            {"Assets/Logo.png", std::string(70000, 'L') + tag, false},
            {"readme.txt", "hello " + tag, false}};
}

// Deterministic bytes that do not compress, the same for the same seed.
inline std::string Noise(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// Serves at `path`, after `delay`, an AppInstaller file naming `identity` as its
// main package at `packageUri` (relative to the file or absolute); returns its URL.
inline std::string ServeAppInstaller(test_support::HttpServer& server, const packaging::Identity& identity,
                                     const std::string& packageUri = "p.appx",
                                     const std::string& path = "/a.appinstaller",
                                     std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    packaging::AppInstallerContent installerFile;
    installerFile.uri = server.Url(path);
    installerFile.mainPackage = {identity, packageUri};
    auto response = test_support::HttpServer::Response::Text(packaging::AppInstallerXml(installerFile));
    response.delay = delay;
    server.Route(path, response);
    return installerFile.uri;
}

// A store folder that trusts the test signing authority, as an administrator
// makes it before the store exists.
inline fs::path TrustingStore(const fs::path& root) {
    test_support::SigningAuthority::Shared().TrustIn(root);
    return root;
}

// The test signing authority's signer for the identity's publisher.
inline packaging::Signer SignerOf(const packaging::Identity& identity) {
    return test_support::SigningAuthority::Shared().SignerFor(identity.publisher);
}

// A package as the store installs it: signed by the test authority for its publisher.
inline void WriteSignedPackage(const fs::path& file, const packaging::Identity& identity,
                               const std::vector<packaging::PayloadFile>& payload,
                               packaging::HashMethod method = packaging::HashMethod::Sha256) {
    packaging::WritePackage(file, identity, payload, {method, SignerOf(identity)});
}

// The faults, on a package that the test authority signs unless they say otherwise.
inline test_support::PackageFaults SignedUnlessSaid(test_support::PackageFaults faults,
                                                    const packaging::Identity& identity) {
    const bool fakeSignature = std::any_of(faults.typedEntries.begin(), faults.typedEntries.end(),
                                           [](const auto& entry) { return entry.name == packaging::kSignatureName; });
    // The writer signs a package only once it has its content types and block map.
    const bool signable = !faults.omitContentTypes && !faults.omitBlockMap;
    if (!faults.signer && !faults.leaveUnsigned && !fakeSignature && signable) {
        faults.signer = SignerOf(identity);
    }
    return faults;
}

// Writes <dir>/<file> as a package (signed unless the faults say otherwise)
// and <dir>/<appinstaller> naming it (by a relative URI) as the main package;
// returns the AppInstaller file's path.
inline fs::path WriteSample(const fs::path& dir, const packaging::Identity& identity, const std::string& packageName,
                            const std::string& appInstallerName, const test_support::PackageFaults& faults = {},
                            const std::vector<packaging::PayloadFile>& payload = SamplePayload()) {
    test_support::WriteBrokenPackage(dir / packageName, identity, payload, SignedUnlessSaid(faults, identity));
    packaging::AppInstallerContent installerFile;
    installerFile.uri = FileUri(dir / appInstallerName);
    installerFile.mainPackage = {identity, packageName};
    packaging::WriteAppInstallerFile(dir / appInstallerName, installerFile);
    return dir / appInstallerName;
}

struct Outcome {
    AsyncStatus status = AsyncStatus::Started;
    platform::hresult errorCode = 0;
    DeploymentResult result;
    bool hasResult = false;
    std::vector<std::uint32_t> progress;
};

// Follows a request to its end (at most a minute) and collects what it reported.
inline Outcome Await(const DeploymentOperation& operation) {
    struct Shared {
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
        std::vector<std::uint32_t> progress;
    };
    auto shared = std::make_shared<Shared>();
    operation.Progress([shared](const DeploymentOperation&, const platform::deployment::DeploymentProgress& p) {
        std::lock_guard lock(shared->lock);
        shared->progress.push_back(p.percentage);
    });
    operation.Completed([shared](const DeploymentOperation&, AsyncStatus) {
        std::lock_guard lock(shared->lock);
        shared->finished = true;
        shared->done.notify_all();
    });
    Outcome outcome;
    {
        std::unique_lock lock(shared->lock);
        if (!shared->done.wait_for(lock, std::chrono::minutes(1), [&] { return shared->finished; })) {
            throw std::runtime_error("the request did not finish");
        }
        outcome.progress = shared->progress;
    }
    outcome.status = operation.Status();
    outcome.errorCode = operation.ErrorCode();
    try {
        outcome.result = operation.GetResults();
        outcome.hasResult = true;
    } catch (...) {
    }
    return outcome;
}

// Every table of a registry, row by row, as text.
inline std::string DumpRegistry(const fs::path& file) {
    if (!fs::exists(file)) {
        return "<no registry>";
    }
    sqlite3* database = nullptr;
    std::ostringstream dump;
    if (sqlite3_open_v2(file.c_str(), &database, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(database);
        return "<unreadable>";
    }
    sqlite3_busy_timeout(database, 10000);
    for (const char* sql : {"SELECT * FROM package ORDER BY full_name", "SELECT * FROM registration ORDER BY 1, 2",
                            "SELECT * FROM provisioned ORDER BY 1"}) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(database, sql, -1, &statement, nullptr) != SQLITE_OK) {
            dump << "<cannot read: " << sql << ">\n";
            continue;
        }
        dump << sql << "\n";
        while (sqlite3_step(statement) == SQLITE_ROW) {
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const auto* text = sqlite3_column_text(statement, i);
                dump << (i > 0 ? "|" : "") << (text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
            }
            dump << "\n";
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(database);
    return dump.str();
}

// The package folders (every file with its size and first bytes), what is left in
// staging, and the registry's content.
inline std::string Snapshot(const fs::path& store) {
    std::ostringstream out;
    std::map<std::string, std::string> files;
    if (fs::exists(store / "packages")) {
        for (const auto& entry : fs::recursive_directory_iterator(store / "packages")) {
            const std::string name = fs::relative(entry.path(), store).string();
            if (entry.is_regular_file()) {
                std::ifstream in(entry.path(), std::ios::binary);
                std::string head(64, '\0');
                in.read(head.data(), static_cast<std::streamsize>(head.size()));
                head.resize(static_cast<std::size_t>(in.gcount()));
                files[name] = std::to_string(entry.file_size()) + " " + head;
            } else {
                files[name] = "<dir>";
            }
        }
    }
    for (const auto& [name, content] : files) {
        out << name << ": " << content << "\n";
    }
    if (fs::exists(store / "staging")) {
        for (const auto& entry : fs::directory_iterator(store / "staging")) {
            out << "staging leftover: " << entry.path().filename().string() << "\n";
        }
    }
    out << DumpRegistry(store / "registry.db");
    return out.str();
}

inline std::vector<std::string> PackageFolders(const fs::path& store) {
    std::vector<std::string> names;
    if (fs::exists(store / "packages")) {
        for (const auto& entry : fs::directory_iterator(store / "packages")) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::error_code error;
    const auto size = fs::file_size(path, error);
    std::string bytes(error ? 0 : static_cast<std::size_t>(size), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

}  // namespace store_testing
