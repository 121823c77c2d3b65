#include "memory_limit.h"

#include <fstream>
#include <string>
#include <sys/resource.h>

namespace testftp {
namespace {

// The address space the process holds now, from the kernel's own count.
std::uint64_t addressSpaceInUse() {
    std::ifstream status("/proc/self/status");
    std::string field;
    std::uint64_t kibibytes = 0;
    while (status >> field)
        if (field == "VmSize:" && status >> kibibytes) break;
    return kibibytes * 1024;
}

}  // namespace

MemoryLimit::MemoryLimit(std::uint64_t margin) {
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    previous_ = limit.rlim_cur;
    limit.rlim_cur = addressSpaceInUse() + margin;
    setrlimit(RLIMIT_AS, &limit);
}

MemoryLimit::~MemoryLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = previous_;
    setrlimit(RLIMIT_AS, &limit);
}

// The address sanitizer reserves far more address space than it uses.
bool MemoryLimit::supported() {
#if defined(__SANITIZE_ADDRESS__)
    return false;
#else
    return addressSpaceInUse() > 0;
#endif
}

}  // namespace testftp
