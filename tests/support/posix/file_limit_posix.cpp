#include "file_limit.h"

#include <csignal>
#include <sys/resource.h>

namespace testftp {

// Writes past the limit then fail with EFBIG instead of ending the process.
FileSizeLimit::FileSizeLimit(std::uint64_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    previous_ = limit.rlim_cur;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = previous_;
    setrlimit(RLIMIT_FSIZE, &limit);
}

bool FileSizeLimit::supported() { return true; }

}  // namespace testftp
