#include "platform/deployment/local/store/StoreFolders.h"

#include <dirent.h>
#include <fcntl.h>

namespace platform::deployment::local {

std::vector<std::string> FolderEntries(int fd) {
    std::vector<std::string> names;
    const int copy = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* folder = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (folder == nullptr) {
        if (copy >= 0) {
            ::close(copy);
        }
        return names;
    }
    while (const dirent* entry = ::readdir(folder)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    ::closedir(folder);
    return names;
}

FileDescriptor OpenFolderAt(int parent, const char* name) {
    return FileDescriptor(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

}  // namespace platform::deployment::local
