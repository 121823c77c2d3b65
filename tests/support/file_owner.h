// The owner and group of a file, where the platform keeps them.
#pragma once

#include <string>

namespace testftp {

struct FileOwner {
    long user = -1;
    long group = -1;
    bool operator==(const FileOwner&) const = default;
};

// {-1, -1} where the platform keeps no owners.
FileOwner ownerOf(const std::string& path);
// False where the process may not give the file away (or nobody may).
bool setOwner(const std::string& path, FileOwner owner);

}  // namespace testftp
