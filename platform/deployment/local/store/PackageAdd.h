// Adds what an AppInstaller file names: each package fetched and verified into
// the staging area, then all put in place and recorded in the registry at once.
#pragma once

#include <atomic>
#include <string>

#include "platform/Uri.h"
#include "platform/deployment/local/fetch/Fetch.h"
#include "platform/deployment/local/store/RequestRunner.h"
#include "platform/deployment/local/store/Store.h"

namespace platform::deployment::local {

// Registers the packages for `userId`, installing those the store lacks; a
// dependency is met by the same or a newer version the user already has.
// Every package and bundle must be signed by a publisher that the store's
// trusted/ folder vouches for, read afresh for each add. Returns true. Raises
// the failure of any step with the store unchanged: the readers', the
// signature check's and the fetch's codes, 0x80073D36 for a package that is not
// the one the file names, 0x80073D06 when the user has a higher version,
// 0x80073D02 when other processes keep changing the store, 0x800704C7 when
// cancelled.
bool AddPackages(Store& store, const std::wstring& userId, const FetchOptions& fetch, const Uri& appInstallerUri,
                 ProgressReporter& progress, const std::atomic<bool>& cancelled);

}  // namespace platform::deployment::local
