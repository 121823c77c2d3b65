#include "file_limit.h"

#include <csignal>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testftp {
namespace {

void setSoftLimit(int resource, std::uint64_t value, std::uint64_t* previous) {
    rlimit limit{};
    getrlimit(resource, &limit);
    if (previous) *previous = limit.rlim_cur;
    limit.rlim_cur = value;
    setrlimit(resource, &limit);
}

// The address space the process holds now, as the kernel counts it.
std::uint64_t addressSpaceInUse() {
    std::ifstream status("/proc/self/status");
    std::string field;
    std::uint64_t kibibytes = 0;
    while (status >> field)
        if (field == "VmSize:" && status >> kibibytes) break;
    return kibibytes * 1024;
}

}  // namespace

// Writes past the limit then fail with EFBIG instead of ending the process.
FileSizeLimit::FileSizeLimit(std::uint64_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    setSoftLimit(RLIMIT_FSIZE, bytes, &previous_);
}
FileSizeLimit::~FileSizeLimit() { setSoftLimit(RLIMIT_FSIZE, previous_, nullptr); }
bool FileSizeLimit::supported() { return true; }

MemoryLimit::MemoryLimit(std::uint64_t margin) { setSoftLimit(RLIMIT_AS, addressSpaceInUse() + margin, &previous_); }
MemoryLimit::~MemoryLimit() { setSoftLimit(RLIMIT_AS, previous_, nullptr); }
// The address sanitizer reserves far more address space than it uses.
bool MemoryLimit::supported() {
#if defined(__SANITIZE_ADDRESS__)
    return false;
#else
    return addressSpaceInUse() > 0;
#endif
}

FileOwner ownerOf(const std::string& path) {
    struct stat info{};
    if (stat(path.c_str(), &info) != 0) return FileOwner{};
    return FileOwner{static_cast<long>(info.st_uid), static_cast<long>(info.st_gid)};
}

bool setOwner(const std::string& path, FileOwner owner) {
    return chown(path.c_str(), static_cast<uid_t>(owner.user), static_cast<gid_t>(owner.group)) == 0;
}

}  // namespace testftp
