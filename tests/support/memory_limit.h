// Limits the memory this process may take to what it holds now plus a
// margin, so that allocations past it fail as when memory runs out.
#pragma once

#include <cstdint>

namespace testftp {

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

}  // namespace testftp
