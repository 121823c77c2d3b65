// What the system allows this process: the size of the files it writes (as
// a full disk would limit it), the memory it takes (as when memory runs
// out), and the owners it may give its files.
#pragma once

#include <cstdint>
#include <string>

namespace testftp {

class FileSizeLimit {
public:
    explicit FileSizeLimit(std::uint64_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    static bool supported();

private:
    std::uint64_t previous_ = 0;
};

// Allows what the process holds now plus margin bytes.
class MemoryLimit {
public:
    explicit MemoryLimit(std::uint64_t margin);
    ~MemoryLimit();
    MemoryLimit(const MemoryLimit&) = delete;
    MemoryLimit& operator=(const MemoryLimit&) = delete;

    static bool supported();

private:
    std::uint64_t previous_ = 0;
};

// Owner and group numbers; {-1, -1} where the platform keeps none.
struct FileOwner {
    long user = -1;
    long group = -1;
    bool operator==(const FileOwner&) const = default;
};
FileOwner ownerOf(const std::string& path);
// False where the process may not give the file away.
bool setOwner(const std::string& path, FileOwner owner);

}  // namespace testftp
