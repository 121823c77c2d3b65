#include "file_owner.h"

#include <sys/stat.h>
#include <unistd.h>

namespace testftp {

FileOwner ownerOf(const std::string& path) {
    struct stat info{};
    if (stat(path.c_str(), &info) != 0) return FileOwner{};
    return FileOwner{static_cast<long>(info.st_uid), static_cast<long>(info.st_gid)};
}

bool setOwner(const std::string& path, FileOwner owner) {
    return chown(path.c_str(), static_cast<uid_t>(owner.user), static_cast<gid_t>(owner.group)) == 0;
}

}  // namespace testftp
