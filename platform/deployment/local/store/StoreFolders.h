// The store reads its folders through descriptors and never follows a link
// below its own folder.
#pragma once

#include <string>
#include <vector>

#include "platform/deployment/local/FileDescriptor.h"

namespace platform::deployment::local {

// The names in a folder opened as `fd` (".", ".." left out); the folder is read
// through a descriptor of its own. Empty when it cannot be read.
std::vector<std::string> FolderEntries(int fd);

// A folder below `parent`, not through a symbolic link; invalid when there is none.
FileDescriptor OpenFolderAt(int parent, const char* name);

}  // namespace platform::deployment::local
