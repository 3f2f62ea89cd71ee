// Reads what an AppInstaller file names: local files (file:) where they lie,
// and downloads from the sources the source rules allow.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/Uri.h"
#include "platform/deployment/local/FileDescriptor.h"

namespace platform::deployment::local {

struct FetchOptions {
    std::chrono::milliseconds connectTimeout{30000};
    // A transfer slower than one byte a second for this long is abandoned.
    std::chrono::milliseconds stallTimeout{30000};
    // A transfer that moves fewer than minimumSpeed bytes a second on average
    // over minimumSpeedPeriod is abandoned too (0x80072EE2).
    std::uint32_t minimumSpeed = 1024;
    std::chrono::milliseconds minimumSpeedPeriod{60000};
    // Free space left to the rest of the system: writes that would eat into it
    // fail with 0x80073CF4 (downloads here, extraction through ExtractOptions).
    std::uint64_t diskReserve = 64 * 1024 * 1024;
    // Certificate authorities trusted instead of the system's. Only a caller in
    // code sets it (the tests, for their own authority); the tool never does.
    std::filesystem::path certificateAuthorities;
    int maxRedirects = 5;
    // Bytes received so far and in all (0 when the server did not say).
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
    // Polled while transferring; true stops the transfer with 0x800704C7.
    std::function<bool()> cancelled;
};

constexpr std::size_t kAppInstallerFileLimit = 1024 * 1024;

// Raises 0x8008020C: the resource is larger than `limit` bytes.
[[noreturn]] void ThrowTooLarge(const Uri& uri, std::size_t limit);

// The local path a file: URI names, its escapes decoded.
std::filesystem::path LocalPath(const Uri& uri);

// Opens the regular file a file: URI names, without blocking on a FIFO or a
// device: anything else raises 0x80070057 saying what it is. A failure names the URI.
FileDescriptor OpenForReading(const Uri& uri);

// The whole resource, at most `limit` bytes (0x8008020C beyond that).
std::string FetchText(const Uri& uri, std::size_t limit, const FetchOptions& options = {});

// Downloads the resource into `destination` (created or replaced), streaming;
// a file: URI raises 0x80070057 (a local file is read where it lies).
void FetchToFile(const Uri& uri, const std::filesystem::path& destination, const FetchOptions& options = {});

// Failures raise PlatformError with a text that names the URI and the fault:
//   0x80070002 no such file; 0x80070005 access denied; 0x80072EE7 host not
//   resolved; 0x80072EFD no connection; 0x80072EE2 timed out; 0x80072EFF
//   connection reset; 0x80072EFE connection ended early; 0x80190000 + status for
//   an HTTP status other than 2xx (also too many redirects, or a redirect from
//   https to anything else); 0x80072F0D a certificate from an authority not
//   trusted, 0x80072F06 one for another host name, 0x80072F05 one expired or
//   not yet valid, 0x80072F8F another TLS failure; 0x80073CF4 disk full.

}  // namespace platform::deployment::local
