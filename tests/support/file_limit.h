// Limits the size of the files this process writes, as a full disk would.
#pragma once

#include <cstdint>

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

}  // namespace testftp
